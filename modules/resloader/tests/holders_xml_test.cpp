// The value holders over libxml2 documents and nodes, freed through the
// table "libxml2" that this program binds.
#include <libxml/tree.h>

#include "res_fixture.h"
#include "secxml.h"
#include "zelk_holders.h"

namespace kestrin::resloader::test {
namespace {

class XmlHolders : public ResLoader {};

TEST_F(XmlHolders, NodesAreUnlinkedBeforeTheyAreFreed)
{
    const SECXML_LIBXML2_TABLE* xml = SECXML_Table();
    ASSERT_NE(xml, nullptr);
    AuxPtr<_xmlDoc> doc(xml->xmlParseDoc(reinterpret_cast<const unsigned char*>("<r><a/><b/></r>")));
    ASSERT_TRUE(!!doc);
    xmlNode* root = static_cast<xmlDoc*>(doc)->children;
    ASSERT_NE(root, nullptr);
    {
        AuxPtr<_xmlNode> first(root->children);
        ASSERT_STREQ("a", reinterpret_cast<const char*>(static_cast<xmlNode*>(first)->name));
    }
    ASSERT_NE(root->children, nullptr);
    EXPECT_STREQ("b", reinterpret_cast<const char*>(root->children->name));
    EXPECT_EQ(root->children, root->last);

    _xmlDoc* raw = doc.Detach();
    EXPECT_EQ(S_OK, AuxFree(&raw));
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(S_OK, AuxFree(&raw));
}

}  // namespace
}  // namespace kestrin::resloader::test
