// Module "secxml" of the crypto library stand-in: the table "libxml2", whose
// slots call the real libxml2. The stand-in's allocator is the C library's,
// and so is libxml2's (never replaced here), so every text handed out can be
// given back with the crypto library's free.
#include "secxml.h"

#include <libxml/hash.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>

namespace {

HRESULT secxml_get_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = SECXML_API;
    if (module)
        *module = SECXML_MODULE;
    if (description)
        *description = "libxml2";
    return S_OK;
}

HRESULT secxml_unused()
{
    return E_NOTIMPL;
}

_xmlNode* secxml_add_child(_xmlNode* parent, _xmlNode* child)
{
    return xmlAddChild(parent, child);
}

void secxml_doc_dump_memory(_xmlDoc* doc, unsigned char** text, int* size)
{
    if (text)
        *text = nullptr;
    if (size)
        *size = 0;
    if (doc == nullptr || text == nullptr)
        return;
    int length = 0;
    xmlDocDumpMemory(doc, text, &length);
    if (size)
        *size = *text ? length : 0;
}

_xmlNode* secxml_doc_set_root_element(_xmlDoc* doc, _xmlNode* root)
{
    return xmlDocSetRootElement(doc, root);
}

void secxml_free_doc(_xmlDoc* doc)
{
    if (doc)
        xmlFreeDoc(doc);
}

void secxml_unlink_node(_xmlNode* node)
{
    if (node)
        xmlUnlinkNode(node);
}

void secxml_free_node(_xmlNode* node)
{
    if (node)
        xmlFreeNode(node);
}

unsigned char* secxml_get_prop(const _xmlNode* node, const unsigned char* name)
{
    if (node == nullptr || name == nullptr)
        return nullptr;
    return xmlGetProp(node, name);
}

unsigned char* secxml_node_get_content(const _xmlNode* node)
{
    if (node == nullptr)
        return nullptr;
    return xmlNodeGetContent(node);
}

void secxml_node_set_content(_xmlNode* node, const unsigned char* content)
{
    if (node)
        xmlNodeSetContent(node, content);
}

_xmlNode* secxml_new_cdata_block(_xmlDoc* doc, const unsigned char* content, int length)
{
    return xmlNewCDataBlock(doc, content, length);
}

_xmlNode* secxml_new_child(_xmlNode* parent, _xmlNs* ns, const unsigned char* name, const unsigned char* content)
{
    return xmlNewChild(parent, ns, name, content);
}

_xmlDoc* secxml_new_doc(const unsigned char* version)
{
    return xmlNewDoc(version);
}

_xmlNode* secxml_new_doc_node(_xmlDoc* doc, _xmlNs* ns, const unsigned char* name, const unsigned char* content)
{
    return xmlNewDocNode(doc, ns, name, content);
}

_xmlNode* secxml_new_text_child(_xmlNode* parent, _xmlNs* ns, const unsigned char* name, const unsigned char* content)
{
    return xmlNewTextChild(parent, ns, name, content);
}

// No network, no external DTD, no entity substitution and libxml2's default
// limits (no XML_PARSE_HUGE); parse errors are not printed.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Entities the document declares itself. Kept as references, they are
// expanded whenever a text is read, so a small document could make every read
// of its content huge; the system's documents never declare any.
bool DeclaresEntities(const xmlDoc* doc)
{
    const xmlDtd* dtd = doc->intSubset;
    if (dtd == nullptr)
        return false;
    return (dtd->entities != nullptr && xmlHashSize(static_cast<xmlHashTablePtr>(dtd->entities)) > 0)
           || (dtd->pentities != nullptr && xmlHashSize(static_cast<xmlHashTablePtr>(dtd->pentities)) > 0);
}

_xmlDoc* secxml_parse_doc(const unsigned char* text)
{
    if (text == nullptr)
        return nullptr;
    xmlDoc* doc = xmlReadDoc(text, nullptr, nullptr, kParseOptions);
    if (doc != nullptr && DeclaresEntities(doc)) {
        xmlFreeDoc(doc);
        return nullptr;
    }
    return doc;
}

SECXML_LIBXML2_TABLE make_table()
{
    SECXML_LIBXML2_TABLE t {};
    t.get_info = &secxml_get_info;
    // Every slot holds a function; the named ones are filled in below.
    auto* slots = reinterpret_cast<SECXML_UNUSED_FN*>(reinterpret_cast<char*>(&t) + sizeof(API_COMMON));
    for (size_t i = 0; i < (sizeof t - sizeof(API_COMMON)) / sizeof(SECXML_UNUSED_FN); ++i)
        slots[i] = &secxml_unused;
    t.xmlAddChild = &secxml_add_child;
    t.xmlDocDumpMemory = &secxml_doc_dump_memory;
    t.xmlDocSetRootElement = &secxml_doc_set_root_element;
    t.xmlFreeDoc = &secxml_free_doc;
    t.xmlUnlinkNode = &secxml_unlink_node;
    t.xmlFreeNode = &secxml_free_node;
    t.xmlGetProp = &secxml_get_prop;
    t.xmlNodeGetContent = &secxml_node_get_content;
    t.xmlNodeSetContent = &secxml_node_set_content;
    t.xmlNewCDataBlock = &secxml_new_cdata_block;
    t.xmlNewChild = &secxml_new_child;
    t.xmlNewDoc = &secxml_new_doc;
    t.xmlNewDocNode = &secxml_new_doc_node;
    t.xmlNewTextChild = &secxml_new_text_child;
    t.xmlParseDoc = &secxml_parse_doc;
    return t;
}

SECXML_LIBXML2_TABLE s_table = make_table();

HRESULT secxml_get_api(const char* module, const char* api, API_COMMON** out)
{
    if (api == nullptr || out == nullptr)
        return ZELK_E_API_NOARG;
    *out = nullptr;
    if (module != nullptr && std::strcmp(module, SECXML_MODULE) != 0)
        return ZELK_E_API_NOTFOUND;
    if (std::strcmp(api, SECXML_API) != 0)
        return ZELK_E_API_NOTFOUND;
    *out = &s_table;
    return S_OK;
}

}  // namespace

// Started by the crypto library when somebody first binds the table; the
// parser's globals are set up here, on the loading thread, before any use.
extern "C" QEV_EXPORT HRESULT module_init(SEC_FUNCTION_LIST*, MODULE_GET_API_FN* getter, void*, void*)
{
    xmlInitParser();
    if (getter)
        *getter = &secxml_get_api;
    return S_OK;
}
