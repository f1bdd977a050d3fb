// Module "zelkkvlogin" of the monitors' test tree: the policy downloader
// "zelk.kvlogin.policy", whose DownloadPolicy answers through the function
// the test installs with the table "zelkkvlogin.test"; without one the class
// cannot be created. The enrolment client "zelk.kvlogin" is there only while
// the test says so, and counts its creations; it answers no call.
#include <atomic>

#include "zelk_class.h"
#include "zelk_kestrin.h"
#include "zelk_kestrin_policy.h"
#include "zelk_module.h"
#include "zelk_object.h"

namespace kestrin::service::test {
namespace {

typedef HRESULT (*DownloadFn)(const char* url, unsigned int flags, const char* target);
std::atomic<DownloadFn> s_download {nullptr};

class FakeDownloader : public IKestrinPolicy, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FakeDownloader)
    ZELK_INTMAP_ENTRY(IKestrinPolicy)
    ZELK_END_INTMAP()

    HRESULT SetNotificationCallback(IKestrinServiceNotification*) override { return S_OK; }
    HRESULT DownloadPolicy(const char* url, unsigned int flags, const char* target) override
    {
        DownloadFn download = s_download;
        return download ? download(url, flags, target) : E_FAIL;
    }
    HRESULT ImportPolicy(const OctetString*, unsigned int, const char*) override { return E_NOTIMPL; }
};

HRESULT CreateDownloader(const GUID& iid, void** out)
{
    if (s_download == nullptr) {
        if (out)
            *out = nullptr;
        return E_FAIL;
    }
    return CFactoryImpl<FakeDownloader>::New(iid, out);
}

CZELK_CLASS s_class("zelkkvlogin", ZELK_KESTRIN_POLICY_CLASS, &CreateDownloader);

std::atomic<bool> s_clientPresent {false};
std::atomic<int> s_clients {0};

// Stands for the client where only its presence matters.
HRESULT CreateClient(const GUID& iid, void** out)
{
    if (!s_clientPresent || !(iid == IID_IUnknown)) {
        if (out)
            *out = nullptr;
        return E_FAIL;
    }
    ++s_clients;
    return CFactoryImpl<FakeDownloader>::New(iid, out);
}

CZELK_CLASS s_clientClass("zelkkvlogin", ZELK_KESTRIN_CLASS, &CreateClient);

struct TEST_DOWNLOAD_TABLE : API_COMMON {
    void (*SetDownload)(DownloadFn download);
    void (*SetClientPresent)(bool present);
    int (*ClientCount)();
};

HRESULT get_info(const char** api, const char** module, const char** description)
{
    if (api)
        *api = "zelkkvlogin.test";
    if (module)
        *module = "zelkkvlogin";
    if (description)
        *description = "";
    return S_OK;
}

void SetDownload(DownloadFn download)
{
    s_download = download;
}

void SetClientPresent(bool present)
{
    s_clientPresent = present;
}

int ClientCount()
{
    return s_clients;
}

TEST_DOWNLOAD_TABLE s_table = {{get_info}, SetDownload, SetClientPresent, ClientCount};
CZELK_API s_api("zelkkvlogin", "zelkkvlogin.test", &s_table);

}  // namespace
}  // namespace kestrin::service::test
