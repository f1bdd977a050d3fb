// The table "libxml2" of the crypto library's module "secxml": libxml2 as the
// system reaches it, bound by module and table name like any module's table.
// Documents and nodes are libxml2's own structures; a caller that walks them
// includes <libxml/tree.h> for their fields. Texts handed out (xmlGetProp,
// xmlNodeGetContent, xmlDocDumpMemory) come from the crypto library's
// allocator and go back with sec_free.
//
// The parser never touches the network, never loads an external DTD and
// refuses documents that declare entities of their own (their references would
// be expanded on every read of a text); libxml2's own limits on document depth
// stay in force.
#pragma once

#include "qevcrypto.h"

struct _xmlDoc;
struct _xmlNode;
struct _xmlNs;

inline constexpr const char* SECXML_MODULE = "secxml";
inline constexpr const char* SECXML_API = "libxml2";

extern "C" {

// Slots that no caller uses answer 0x80000001.
typedef HRESULT (*SECXML_UNUSED_FN)();

struct SECXML_LIBXML2_TABLE : API_COMMON {                        // 0
    SECXML_UNUSED_FN unused1[19];                                 // 1-19
    _xmlNode* (*xmlAddChild)(_xmlNode* parent, _xmlNode* child);  // 20
    SECXML_UNUSED_FN unused21[9];                                 // 21-29
    // *text receives the serialised document (NULL and *size 0 on failure).
    void (*xmlDocDumpMemory)(_xmlDoc* doc, unsigned char** text, int* size);  // 30
    SECXML_UNUSED_FN unused31[2];                                             // 31-32
    // The old root element, unlinked, or NULL.
    _xmlNode* (*xmlDocSetRootElement)(_xmlDoc* doc, _xmlNode* root);                        // 33
    SECXML_UNUSED_FN unused34[1];                                                           // 34
    void (*xmlFreeDoc)(_xmlDoc* doc);                                                       // 35
    SECXML_UNUSED_FN unused36[47];                                                          // 36-82
    void (*xmlUnlinkNode)(_xmlNode* node);                                                  // 83
    SECXML_UNUSED_FN unused84[3];                                                           // 84-86
    void (*xmlFreeNode)(_xmlNode* node);                                                    // 87
    SECXML_UNUSED_FN unused88[11];                                                          // 88-98
    unsigned char* (*xmlGetProp)(const _xmlNode* node, const unsigned char* name);          // 99
    SECXML_UNUSED_FN unused100[11];                                                         // 100-110
    unsigned char* (*xmlNodeGetContent)(const _xmlNode* node);                              // 111
    SECXML_UNUSED_FN unused112[3];                                                          // 112-114
    void (*xmlNodeSetContent)(_xmlNode* node, const unsigned char* content);                // 115
    SECXML_UNUSED_FN unused116[4];                                                          // 116-119
    _xmlNode* (*xmlNewCDataBlock)(_xmlDoc* doc, const unsigned char* content, int length);  // 120
    _xmlNode* (*xmlNewChild)(_xmlNode* parent, _xmlNs* ns, const unsigned char* name,
                             const unsigned char* content);  // 121
    SECXML_UNUSED_FN unused122[1];                           // 122
    _xmlDoc* (*xmlNewDoc)(const unsigned char* version);     // 123
    _xmlNode* (*xmlNewDocNode)(_xmlDoc* doc, _xmlNs* ns, const unsigned char* name,
                               const unsigned char* content);  // 124
    SECXML_UNUSED_FN unused125[5];                             // 125-129
    _xmlNode* (*xmlNewTextChild)(_xmlNode* parent, _xmlNs* ns, const unsigned char* name,
                                 const unsigned char* content);  // 130
    SECXML_UNUSED_FN unused131[26];                              // 131-156
    // A NUL-terminated UTF-8 document; NULL when it does not parse or declares
    // entities.
    _xmlDoc* (*xmlParseDoc)(const unsigned char* text);  // 157
};

}  // extern "C"

static_assert(sizeof(SECXML_LIBXML2_TABLE) == 158 * sizeof(void*), "slots 0 to 157, one pointer each");

// A deliverable's binding of the table (NULL while unbound). A deliverable
// that uses libxml2 defines it once, in one of its source files:
//   SECXML_CLIENT_BINDING();
extern API_COMMON* fptr__libxml2;

#define SECXML_CLIENT_BINDING()                                                                                        \
    API_COMMON* fptr__libxml2 = nullptr;                                                                               \
    static CLoadAPI s_secxmlClientBinding(SECXML_MODULE, SECXML_API, &fptr__libxml2)

inline const SECXML_LIBXML2_TABLE* SECXML_Table()
{
    return ZELK_ApiCast<SECXML_LIBXML2_TABLE>(fptr__libxml2);
}
