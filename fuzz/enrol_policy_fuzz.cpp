// The client-policy document: checked, parsed and pushed as the downloader
// does, into a memory policy in place of the user's plist store.
#include <libxml/tree.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "enrol_client_fuzz.h"
#include "kestrin_policy.h"
#include "zelk_policy_client.h"

using namespace kestrin::enrol;

namespace {

class MemoryPushPolicy : public CKestrinPolicy {
public:
    HRESULT PushHKEY(_xmlNode* product, unsigned int, const char*, const char* groupName) override
    {
        if (product == nullptr)
            return E_INVALIDARG;
        ZELK_IPolicy* memory = nullptr;
        if (ZELK_PolOpenType("fuzz", "zelk.policy.mem", &memory) != S_OK || memory == nullptr)
            std::abort();
        HRESULT hr = E_FAIL;
        for (xmlNode* child = product->children; child != nullptr; child = child->next) {
            if (child->type == XML_ELEMENT_NODE
                && std::strcmp(reinterpret_cast<const char*>(child->name), "machine") == 0) {
                hr = PushAll(child, memory, groupName);
                break;
            }
        }
        ZELK_PolClose(&memory);
        return hr;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::StartRuntime();
    auto* downloader = new CComObject<MemoryPushPolicy>();
    downloader->AddRef();
    OctetString document {size, const_cast<uint8_t*>(data)};
    downloader->ImportPolicy(&document, 2, "user");
    downloader->Release();
    return 0;
}
