#include "glue.h"

#include <unistd.h>

#include <QFile>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "qevcrypto.h"
#include "zelk_class.h"
#include "zelk_keychain_client.h"
#include "zelk_loader.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_psesvc.h"
#include "zelk_resloader.h"
#include "zelk_strings.h"
#include "zelk_sync.h"
#include "zelk_trace.h"

ZELK_POLICY_CLIENT_BINDING();
ZELK_KEYCHAIN_CLIENT_BINDING();

namespace kestrin::app {
namespace {

API_COMMON* s_resloader = nullptr;
CLoadAPI s_loadResloader(ZELK_RESLOADER_MODULE, ZELK_RESLOADER_API, &s_resloader);

std::atomic<int> s_TraceLevel {0};
QEV_SET_TRACE_LEVEL_FN s_setTraceLevel = nullptr;
ZELK_IPolicy* s_pPolTrace = nullptr;

// The crypto library's trace lines go to standard error, which a service
// manager keeps.
int ZELKGLUE_Trace(int level, const char* module, const char*, const char* text)
{
    std::fprintf(stderr, "%s %d %s\n", module ? module : "", level, text ? text : "");
    return s_TraceLevel;
}

void ApplyTraceLevel()
{
    s_TraceLevel = s_pPolTrace && s_pPolTrace->GetDWORD("Level") != 0 ? 5 : 0;
    if (s_setTraceLevel)
        s_setTraceLevel(s_TraceLevel);
}

// Re-applies the level when the configuration changes.
class TraceCallback final : public ZELK::ISignal {
public:
    virtual ~TraceCallback() = default;
    void Signal() override { ApplyTraceLevel(); }
};
TraceCallback s_traceCallback;

std::mutex s_resMutex;
IResourceManager* s_pResMgr = nullptr;
std::atomic<bool> s_headless {false};

struct Image {
    unsigned code;
    const char* name;
};

const Image s_images[] = {
    {256, "encryption_only_mode_off_32x32.png"},
    {257, "encryption_only_mode_on_32x32.png"},
    {512, "kerberos_disabled.png"},
    {513, "kerberos.png"},
    {768, "cert_32.png"},
    {769, "cert_32.png"},
    {1024, "kestrin_no_cert_32.png"},
    {1025, "kestrin_cert_32.png"},
    {1040, "localhost_no_cert_32x32.png"},
    {1041, "localhost_cert_32x32.png"},
    {1280, "webadapter_no_cert_32x32.png"},
    {1281, "webadapter_cert_32x32.png"},
};

SerialQueue* Queue()
{
    static SerialQueue* queue = new SerialQueue("kvc.ui");
    return queue;
}

}  // namespace

QString ZELKGLUE_GetText(const char* key)
{
    if (key == nullptr)
        return QString();
    std::lock_guard<std::mutex> lock(s_resMutex);
    const char* text = s_pResMgr ? s_pResMgr->Get(key) : nullptr;
    return text ? QString::fromUtf8(text) : QString();
}

void ZELKGLUE_LoadResources()
{
    auto* table = ZELK_ApiCast<ZELK_RESLOADER_FKTS>(s_resloader);
    IResourceManager* manager = nullptr;
    if (table && SUCCEEDED(table->GetResourceManager(L"zelkgui", &manager)) && manager) {
        ZELKGLUE_SetResourceManager(manager);
        manager->Release();
    }
}

void ZELKGLUE_SetResourceManager(IResourceManager* manager)
{
    if (manager)
        manager->AddRef();
    IResourceManager* old;
    {
        std::lock_guard<std::mutex> lock(s_resMutex);
        old = s_pResMgr;
        s_pResMgr = manager;
    }
    if (old)
        old->Release();
}

QIcon ZELKGLUE_GetNamedImage(const char* name)
{
    // The pictures are kept as SVG under the names the windows use, so that
    // they stay sharp at any scale.
    QString path = QStringLiteral(":/images/") + QString::fromLatin1(name);
    path.replace(QStringLiteral(".png"), QStringLiteral(".svg"));
    if (!QFile::exists(path))
        return QIcon();
    return QIcon(path);
}

QIcon ZELKGLUE_GetImage(ZELK::PSESVC::IGUIItem_Icon code)
{
    for (const Image& image : s_images)
        if (image.code == code)
            return ZELKGLUE_GetNamedImage(image.name);
    return QIcon();
}

SerialQueue* ZELKGLUE_GetDispatchQueue()
{
    return Queue();
}

void ZELKGLUE_Dispatch(std::function<void()> block)
{
    Queue()->Async(std::move(block));
}

void ZELKGLUE_DispatchAndWait(const std::function<void()>& block)
{
    if (Queue()->IsCurrent()) {
        block();
        return;
    }
    ZELK::Event ran;
    Queue()->Async([&block, &ran] {
        block();
        ran.Signal();
    });
    ran.Wait(-1);
}

void ZELKGLUE_CleanupKeyChain()
{
    KeyChainDeleteAllQEVSSO();
}

void ZELKGLUE_SetHeadless(bool headless)
{
    s_headless = headless;
}

bool ZELKGLUE_IsHeadless()
{
    return s_headless;
}

bool ZELKGLUE_WantsHeadless(int argc, char** argv, const std::function<const char*(const char*)>& getenv)
{
    for (int i = 1; i < argc; ++i)
        if (argv[i] && std::strcmp(argv[i], "--headless") == 0)
            return true;
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = getenv(name);
        if (value && *value)
            return false;
    }
    return true;
}

bool ZELKGLUE_Initialize()
{
    const char* own = ZELK_FindOwnModuleDir();
    if (own == nullptr)
        return false;
    char root[ZELK_MAX_PATH];
    std::snprintf(root, sizeof root, "%s", own);
    PathAppendA(root, "../lib");
    if (FAILED(ZELK_SetInstallationRoot(root)))
        return false;

    void* library = nullptr;
    if (FAILED(ZELK_LoadLibrary("qevcrypto", &library)) || library == nullptr)
        return false;
    auto registerCallback = reinterpret_cast<QEV_REGISTER_TRACE_CALLBACK_FN>(
        ZELK_GetProcAddress(library, "Qevcryptolib_RegisterTraceCallback"));
    s_setTraceLevel =
        reinterpret_cast<QEV_SET_TRACE_LEVEL_FN>(ZELK_GetProcAddress(library, "Qevcryptolib_SetTraceLevel"));
    if (registerCallback == nullptr || s_setTraceLevel == nullptr)
        return false;
    s_setTraceLevel(0);
    registerCallback(0, &ZELKGLUE_Trace);

    if (FAILED(ZELK_Initialize()))
        return false;
    if (SUCCEEDED(ZELK_PolOpen("trace", &s_pPolTrace)) && s_pPolTrace) {
        ApplyTraceLevel();
        s_pPolTrace->RegisterCallback(&s_traceCallback);
    }
    return true;
}

HRESULT ZELKGLUE_Run(int argc, char** argv)
{
    ZELK::PSESVC::IPSESVC* service = nullptr;
    ZELK_CreateObject("zelk", "zelk", IID_IPSESVC, reinterpret_cast<void**>(&service));
    if (service == nullptr) {
        SECTRACE_WriteLn(nullptr, 1, "ZELK Service can not be started ...");
        return -1;
    }
    ZELKGLUE_CleanupKeyChain();
    HRESULT hr = service->Run(const_cast<const char**>(argv), argc);
    service->Release();
    return hr;
}

HRESULT ZELKGLUE_Finalize()
{
    if (s_pPolTrace) {
        s_pPolTrace->RegisterCallback(nullptr);
        s_pPolTrace->Release();
        s_pPolTrace = nullptr;
    }
    return ZELK_Finalize();
}

}  // namespace kestrin::app
