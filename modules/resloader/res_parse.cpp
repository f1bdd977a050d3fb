#include "res_parse.h"

#include <libxml/tree.h>
#include <strings.h>

#include "secxml.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"

namespace kestrin::resloader {
namespace {

bool IsElement(const xmlNode* node, const char* name)
{
    return node->type == XML_ELEMENT_NODE && node->name != nullptr
           && strcasecmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

// The first element among `node` and its siblings, when it has that name.
const xmlNode* FirstElement(const xmlNode* node, const char* name)
{
    for (; node != nullptr; node = node->next)
        if (node->type == XML_ELEMENT_NODE)
            return IsElement(node, name) ? node : nullptr;
    return nullptr;
}

const xmlNode* FindElement(const xmlNode* node, const char* name)
{
    for (; node != nullptr; node = node->next)
        if (IsElement(node, name))
            return node;
    return nullptr;
}

// A text returned by libxml2, given back with the crypto library's free.
class XmlText {
public:
    explicit XmlText(unsigned char* text) : m_text(text) {}
    ~XmlText() { sec_free(m_text); }
    XmlText(const XmlText&) = delete;
    XmlText& operator=(const XmlText&) = delete;
    const char* get() const { return reinterpret_cast<const char*>(m_text); }

private:
    unsigned char* m_text;
};

}  // namespace

HRESULT ParseResourceDocument(const char* document, const ResourceTextFn& add)
{
    const SECXML_LIBXML2_TABLE* xml = SECXML_Table();
    if (xml == nullptr || document == nullptr)
        return E_FAIL;
    AuxPtr<_xmlDoc> doc(xml->xmlParseDoc(reinterpret_cast<const unsigned char*>(document)));
    if (!doc)
        return E_FAIL;
    const xmlNode* resource = FirstElement(static_cast<xmlDoc*>(doc)->children, "Resource");
    const xmlNode* module = resource ? FindElement(resource->children, "module") : nullptr;
    if (module == nullptr)
        return E_FAIL;
    for (const xmlNode* id = module->children; id != nullptr; id = id->next) {
        if (!IsElement(id, "id"))
            continue;
        XmlText key(xml->xmlGetProp(id, reinterpret_cast<const unsigned char*>("name")));
        if (key.get() == nullptr)
            continue;
        XmlText content(xml->xmlNodeGetContent(id));
        HRESULT hr = add(key.get(), content.get() ? content.get() : "");
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

}  // namespace kestrin::resloader
