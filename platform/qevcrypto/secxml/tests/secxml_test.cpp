// The table "libxml2" of module "secxml": slot layout, reading, the parser's
// safety settings and the builder functions, whose output Python's XML parser
// reads back.
#include "secxml.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libxml/tree.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "qev_fixture.h"

namespace {

const unsigned char* U(const char* s)
{
    return reinterpret_cast<const unsigned char*>(s);
}

class SecXml : public QevLibrary {
protected:
    void SetUp() override
    {
        QevLibrary::SetUp();
        API_COMMON* api = nullptr;
        ASSERT_EQ(S_OK, list->get_api(SECXML_MODULE, SECXML_API, &api));
        ASSERT_NE(api, nullptr);
        x = ZELK_ApiCast<SECXML_LIBXML2_TABLE>(api);
    }

    // A text from the table, given back with the library's free.
    std::string Take(unsigned char* text)
    {
        if (text == nullptr)
            return "<null>";
        std::string s(reinterpret_cast<char*>(text));
        list->free(text);
        return s;
    }

    std::string RootContent(const char* document)
    {
        _xmlDoc* doc = x->xmlParseDoc(U(document));
        if (doc == nullptr)
            return "<no document>";
        std::string s = Take(x->xmlNodeGetContent(xmlDocGetRootElement(doc)));
        x->xmlFreeDoc(doc);
        return s;
    }

    const SECXML_LIBXML2_TABLE* x = nullptr;
};

TEST_F(SecXml, SlotsSitWhereTheCallersExpectThem)
{
    const char* name = nullptr;
    const char* module = nullptr;
    ASSERT_EQ(S_OK, x->get_info(&name, &module, nullptr));
    EXPECT_STREQ(name, "libxml2");
    EXPECT_STREQ(module, "secxml");

    auto slot = [&](int i) { return reinterpret_cast<void* const*>(x)[i]; };
    EXPECT_EQ(slot(35), reinterpret_cast<void*>(x->xmlFreeDoc));
    EXPECT_EQ(slot(83), reinterpret_cast<void*>(x->xmlUnlinkNode));
    EXPECT_EQ(slot(87), reinterpret_cast<void*>(x->xmlFreeNode));
    EXPECT_EQ(slot(99), reinterpret_cast<void*>(x->xmlGetProp));
    EXPECT_EQ(slot(111), reinterpret_cast<void*>(x->xmlNodeGetContent));
    EXPECT_EQ(slot(157), reinterpret_cast<void*>(x->xmlParseDoc));
    EXPECT_EQ(E_NOTIMPL, x->unused1[0]());
    EXPECT_EQ(E_NOTIMPL, x->unused131[25]());

    API_COMMON* other = nullptr;
    EXPECT_EQ(ZELK_E_API_NOTFOUND, list->get_api(SECXML_MODULE, "libxml3", &other));
    EXPECT_EQ(other, nullptr);
}

TEST_F(SecXml, ReadsAttributesAndContentAndFreesNodes)
{
    _xmlDoc* doc = x->xmlParseDoc(U("<Resource languagecode=\"en\"><module name=\"m\"><id name=\"A\">x &amp; "
                                    "y</id><id name=\"B\"/></module></Resource>"));
    ASSERT_NE(doc, nullptr);
    _xmlNode* root = xmlDocGetRootElement(doc);
    EXPECT_EQ("en", Take(x->xmlGetProp(root, U("languagecode"))));
    EXPECT_EQ("<null>", Take(x->xmlGetProp(root, U("missing"))));
    _xmlNode* first = xmlFirstElementChild(xmlFirstElementChild(root));
    EXPECT_EQ("A", Take(x->xmlGetProp(first, U("name"))));
    EXPECT_EQ("x & y", Take(x->xmlNodeGetContent(first)));

    x->xmlUnlinkNode(first);
    x->xmlFreeNode(first);
    EXPECT_EQ("B", Take(x->xmlGetProp(xmlFirstElementChild(xmlFirstElementChild(root)), U("name"))));
    x->xmlFreeDoc(doc);

    EXPECT_EQ(x->xmlParseDoc(U("<a><b></a>")), nullptr);
    EXPECT_EQ(x->xmlParseDoc(nullptr), nullptr);
    EXPECT_EQ(x->xmlGetProp(nullptr, U("a")), nullptr);
}

TEST_F(SecXml, NeverReadsExternalEntitiesOrTheNetwork)
{
    char folder[] = "/tmp/secxml-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string secret = std::string(folder) + "/secret.txt";
    std::ofstream(secret) << "SECRET-MARKER";

    std::string local = "<!DOCTYPE r [<!ENTITY e SYSTEM \"file://" + secret + "\">]><r>[&e;]</r>";
    EXPECT_EQ(std::string::npos, RootContent(local.c_str()).find("SECRET-MARKER"));

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(listener, 4));
    socklen_t length = sizeof address;
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";
    std::string remote = "<!DOCTYPE r SYSTEM \"" + url + ".dtd\" [<!ENTITY e SYSTEM \"" + url + ".txt\">]><r>[&e;]</r>";
    RootContent(remote.c_str());
    EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "the parser connected to " << url;
    close(listener);

    unlink(secret.c_str());
    rmdir(folder);
}

TEST_F(SecXml, EntityExpansionStaysBounded)
{
    std::string laughs = "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
    char previous = 'a';
    for (char name = 'b'; name <= 'k'; ++name) {
        laughs += std::string("<!ENTITY ") + name + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += std::string("&") + previous + ";";
        laughs += "\">";
        previous = name;
    }
    laughs += "]><r>&k;</r>";
    // Never the 580 billion characters.
    EXPECT_EQ("<no document>", RootContent(laughs.c_str()));

    // One large entity referenced many times would make each read of the text
    // 200 MB; documents that declare entities are refused.
    std::string quadratic = "<!DOCTYPE r [<!ENTITY e \"" + std::string(100000, 'a') + "\">]><r>";
    for (int i = 0; i < 2000; ++i)
        quadratic += "&e;";
    quadratic += "</r>";
    EXPECT_EQ("<no document>", RootContent(quadratic.c_str()));
    EXPECT_EQ("<no document>", RootContent("<!DOCTYPE r [<!ENTITY % p \"x\">]><r/>"));

    // A document type without entities, and the predefined entities, are fine.
    EXPECT_EQ("a<b", RootContent("<!DOCTYPE r [<!ELEMENT r (#PCDATA)>]><r>a&lt;b</r>"));
}

TEST_F(SecXml, BuiltDocumentsReadBackInPython)
{
    _xmlDoc* doc = x->xmlNewDoc(U("1.0"));
    ASSERT_NE(doc, nullptr);
    _xmlNode* root = x->xmlNewDocNode(doc, nullptr, U("Request"), nullptr);
    EXPECT_EQ(x->xmlDocSetRootElement(doc, root), nullptr);
    x->xmlNewTextChild(root, nullptr, U("User"), U("a<b&c"));
    _xmlNode* content = x->xmlNewChild(root, nullptr, U("Content"), nullptr);
    x->xmlAddChild(content, x->xmlNewCDataBlock(doc, U("raw ]] <data>"), 13));
    _xmlNode* note = x->xmlNewChild(root, nullptr, U("Note"), U("old"));
    x->xmlNodeSetContent(note, U("new"));

    unsigned char* text = nullptr;
    int size = -1;
    x->xmlDocDumpMemory(doc, &text, &size);
    x->xmlFreeDoc(doc);
    ASSERT_NE(text, nullptr);
    ASSERT_EQ(static_cast<size_t>(size), std::strlen(reinterpret_cast<char*>(text)));
    std::string xml = Take(text);

    char path[] = "/tmp/secxml-doc-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(xml.size()), write(fd, xml.data(), xml.size()));
    close(fd);
    std::string command = std::string(KESTRIN_PYTHON3)
                          + " -c \"import sys, xml.etree.ElementTree as E; r = E.parse(sys.argv[1]).getroot(); "
                            "print(r.tag, r.find('User').text, r.find('Content').text, r.find('Note').text, "
                            "sep='|')\" "
                          + path;
    FILE* peer = popen(command.c_str(), "r");
    ASSERT_NE(peer, nullptr);
    char line[256] = {};
    std::string out = fgets(line, sizeof line, peer) ? line : "";
    EXPECT_EQ(0, pclose(peer));
    unlink(path);
    EXPECT_EQ("Request|a<b&c|raw ]] <data>|new\n", out) << xml;

    unsigned char* none = nullptr;
    size = 7;
    x->xmlDocDumpMemory(nullptr, &none, &size);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(size, 0);
}

}  // namespace
