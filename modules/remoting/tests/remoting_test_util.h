// Test support of the remoting: an in-process tunnel in place of the socket
// pair, a PSE that records every call and answers what a test configures,
// counted service objects of the kinds the PSE hands out, and byte helpers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "kinds.h"
#include "pseproxy.h"
#include "psestub.h"
#include "qev_doubles.h"
#include "qev_pse.h"
#include "transaction.h"
#include "zelk_alloc.h"
#include "zelk_object.h"
#include "zelk_pseproxy.h"
#include "zelk_ptr.h"

namespace ZELK::PSESVC::test {

inline std::string Hex(const unsigned char* data, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        if (i != 0)
            text += ' ';
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

inline std::string Hex(const std::string& bytes)
{
    return Hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

inline std::string Bytes(std::initializer_list<unsigned> values)
{
    std::string bytes;
    for (unsigned v : values)
        bytes += static_cast<char>(v);
    return bytes;
}

// The service's end in this process: each request is copied into a buffer of
// exactly its length (so that reading past it is caught), handed to the
// target as request and reply buffer, as the socket server does, and an
// empty reply becomes 0x8007006D, as the socket client reports it. Requests
// and replies are kept; a test may answer a request itself (`answer`).
class InProcessTunnel : public ITunnel, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(InProcessTunnel)
    ZELK_INTMAP_ENTRY(ITunnel)
    ZELK_END_INTMAP()

    HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) override
    {
        std::string request(reinterpret_cast<char*>(in), inLength);
        {
            std::lock_guard<std::mutex> lock(m_lock);
            requests.push_back(request);
        }
        ++calls;
        if (broken)
            return E_BROKEN_PIPE;
        std::string reply;
        if (answer) {
            reply = answer(request);
        } else {
            unsigned long length = inLength;
            auto* buffer = static_cast<unsigned char*>(sec_malloc(length != 0 ? length : 1));
            std::memcpy(buffer, in, inLength);
            if (target == nullptr)
                return E_BROKEN_PIPE;
            lastResult = target->Transact(buffer, inLength, &buffer, &length);
            reply.assign(reinterpret_cast<char*>(buffer), length);
            sec_free(buffer);
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            replies.push_back(reply);
        }
        if (reply.empty())
            return E_BROKEN_PIPE;
        if (reply.size() > *outLength || *out == nullptr) {
            auto* grown = static_cast<unsigned char*>(sec_realloc(*out, reply.size()));
            if (grown == nullptr)
                return E_OUTOFMEMORY;
            *out = grown;
        }
        std::memcpy(*out, reply.data(), reply.size());
        *outLength = reply.size();
        return S_OK;
    }
    HRESULT Disconnect() override { return S_OK; }

    std::string Request(size_t i)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return i < requests.size() ? requests[i] : std::string();
    }
    std::string LastRequest()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return requests.empty() ? std::string() : requests.back();
    }
    std::string LastReply()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return replies.empty() ? std::string() : replies.back();
    }

    ITunnel* target = nullptr;
    std::function<std::string(const std::string&)> answer;
    std::atomic<bool> broken {false};
    std::atomic<int> calls {0};
    std::atomic<HRESULT> lastResult {0};
    std::vector<std::string> requests;
    std::vector<std::string> replies;

private:
    std::mutex m_lock;
};

// This folder's own doubles alive (the recording PSE, the GSS object).
inline std::atomic<int> g_objectsAlive {0};

// Every double alive, the shared ones included.
inline int Alive()
{
    return g_objectsAlive + static_cast<int>(kestrin::qevtest::LiveFakes().size());
}

// Fails a test that leaves a reference to a double behind.
class RemotingTest : public kestrin::qevtest::FakesTest {
protected:
    void TearDown() override
    {
        FakesTest::TearDown();
        EXPECT_EQ(0, g_objectsAlive.load());
    }
};

// A PSE that records each call as one line ("getSlots(slots, 4)") and
// answers the code in `rc[method]` (0 by default) with the outputs set below.
class RecordingPSE : public PSE {
public:
    RecordingPSE() { ++g_objectsAlive; }

    HRESULT QueryInterface(const GUID&, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    long AddRef() override { return ++refs; }
    long Release() override
    {
        long n = --refs;
        if (n == 0)
            delete this;
        return n;
    }
    const char* getType() override { return "RecordingPSE"; }
    HRESULT cpy(PSE** out) override { return E_NOTIMPL; }
    int cmp(const PSE*) override { return 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

    HRESULT getOwnCertificate(const History* h, SECAttribute* f, SET_OF_PersonalCertificateInfo** out) override
    {
        if (onFilter)
            onFilter(f);
        return Note(7, "getOwnCertificate(" + Ptr(h) + ", " + Ptr(f) + ")");
    }
    HRESULT encryptDigest(const History* h, SECAttribute* a, const unsigned char* digest, unsigned long n,
                          unsigned char* out, unsigned long* outLength) override
    {
        return Buffer(8, "encryptDigest", h, a, digest, n, out, outLength);
    }
    HRESULT decryptKey(const History* h, SECAttribute* a, const unsigned char* in, unsigned long n, unsigned char* out,
                       unsigned long* outLength) override
    {
        return Buffer(9, "decryptKey", h, a, in, n, out, outLength);
    }
    HRESULT searchCertificate(SECAttribute* f, SET_OF_Certificate**) override
    {
        return Note(10, "searchCertificate(" + Ptr(f) + ")");
    }
    HRESULT readApplObject(const char* name, OctetString** out) override
    {
        HRESULT hr = Note(11, "readApplObject(" + Text(name) + ")");
        if (!applValue.empty()) {
            OctetString view {applValue.size(), reinterpret_cast<unsigned char*>(applValue.data())};
            void* copy = nullptr;
            WireTypeTable(SEC_TYPE_OctetString)->copy(&view, &copy);
            *out = static_cast<OctetString*>(copy);
        }
        return hr;
    }
    HRESULT writeApplObject(const char* name, OctetString* v) override
    {
        std::string value = v ? Hex(v->data, v->length) : "NULL";
        return Note(12, "writeApplObject(" + Text(name) + ", " + value + ")");
    }
    HRESULT listApplObjects(SET_OF_String** out) override
    {
        // The names, in order, as the library's list type makes them.
        const SEC_TYPE_TABLE* list = WireTypeTable(SEC_TYPE_SET_OF_String);
        const SEC_TYPE_TABLE* text = WireTypeTable(SEC_TYPE_String);
        for (auto it = applNames.rbegin(); it != applNames.rend(); ++it) {
            list->new_node(reinterpret_cast<void**>(out));
            text->copy(it->c_str(), reinterpret_cast<void**>(&(*out)->element));
        }
        return Note(13, "listApplObjects()");
    }
    HRESULT getPrivateKey(const char* a, const char* b, TokenObjectPrivateKey** out) override
    {
        *out = Give(privateKey);
        return Note(14, "getPrivateKey(" + Text(a) + ", " + Text(b) + ")");
    }
    HRESULT getCertificate(const char* a, const char* b, const char* c, TokenObjectCertificate** out) override
    {
        *out = Give(certificate);
        return Note(15, "getCertificate(" + Text(a) + ", " + Text(b) + ", " + Text(c) + ")");
    }
    HRESULT searchSlotInfos(SET_OF_SecSlotInfo**) override { return Note(16, "searchSlotInfos()"); }
    HRESULT writeSlotInfos(SET_OF_SecSlotInfo* i) override { return Note(17, "writeSlotInfos(" + Ptr(i) + ")"); }
    HRESULT readSlotInfos(SET_OF_SecSlotInfo**) override { return Note(18, "readSlotInfos()"); }
    HRESULT getSlotByName(SecSlot** out, const char* name, unsigned char flag) override
    {
        *out = Give(slots.empty() ? nullptr : slots[0]);
        return Note(19, "getSlotByName(" + Text(name) + ", " + std::to_string(flag) + ")");
    }
    HRESULT getSlots(SecSlot** array, unsigned long* count) override
    {
        std::string line = "getSlots(" + std::string(array ? "slots" : "NULL") + ", "
                           + (count ? std::to_string(*count) : std::string("NULL")) + ")";
        if (array != nullptr && count != nullptr) {
            for (unsigned long i = 0; i < *count && i < slots.size(); ++i)
                array[i] = Give(slots[i]);
        }
        if (count != nullptr)
            *count = slots.size();
        return Note(20, line);
    }
    HRESULT getTokenByName(SecToken** out, const char* name, unsigned char flag) override
    {
        *out = Give(token);
        return Note(21, "getTokenByName(" + Text(name) + ", " + std::to_string(flag) + ")");
    }
    HRESULT getSlotEvents(SecSlotEvents** out) override
    {
        *out = Give(events);
        return Note(22, "getSlotEvents()");
    }
    HRESULT isInTrustedCerts(const Certificate* c) override { return Note(23, "isInTrustedCerts(" + Ptr(c) + ")"); }
    HRESULT getAllTrustedCerts(SET_OF_Certificate**) override { return Note(24, "getAllTrustedCerts()"); }
    HRESULT getTrustedCertList(SET_OF_Certificate**) override { return Note(25, "getTrustedCertList()"); }
    HRESULT addTrustedCertListItem(const Certificate* c) override
    {
        return Note(26, "addTrustedCertListItem(" + Ptr(c) + ")");
    }
    HRESULT deleteTrustedCertListItem(const DName* d, unsigned long n) override
    {
        return Note(27, "deleteTrustedCertListItem(" + Ptr(d) + ", " + std::to_string(n) + ")");
    }
    HRESULT getCertInfoList(SET_OF_PersonalCertificateInfo**) override { return Note(28, "getCertInfoList()"); }
    HRESULT addCertInfoListItem(const PersonalCertificateInfo* i) override
    {
        return Note(29, "addCertInfoListItem(" + Ptr(i) + ")");
    }
    HRESULT deleteCertInfoListItem(const char* a, const char* b, const char* c, unsigned long n) override
    {
        return Note(30, "deleteCertInfoListItem(" + Text(a) + ", " + Text(b) + ", " + Text(c) + ", " + std::to_string(n)
                            + ")");
    }
    HRESULT getPasswordList(SET_OF_PIN_Info**) override { return Note(31, "getPasswordList()"); }
    HRESULT addPasswordListItem(const char* a, const char* b, const char* c, const char* d, const char* e) override
    {
        return Note(32, "addPasswordListItem(" + Text(a) + ", " + Text(b) + ", " + Text(c) + ", " + Text(d) + ", "
                            + Text(e) + ")");
    }
    HRESULT deletePasswordListItem(const char* a, const char* b, const char* c, const char* d, const char* e,
                                   unsigned long n) override
    {
        return Note(33, "deletePasswordListItem(" + Text(a) + ", " + Text(b) + ", " + Text(c) + ", " + Text(d) + ", "
                            + Text(e) + ", " + std::to_string(n) + ")");
    }
    HRESULT releaseTokenCache(const char* name) override { return Note(34, "releaseTokenCache(" + Text(name) + ")"); }
    HRESULT getPseFileName(const char** name) override
    {
        *name = fileName;
        return Note(35, "getPseFileName()");
    }
    HRESULT cred_list(SET_OF_String**) override { return Local(); }
    HRESULT cred_getParameters(const char*, CredType*, unsigned char*, unsigned long*) override { return Local(); }
    HRESULT cred_initCredUpdate() override { return Local(); }
    HRESULT loginBySystemParameters(const char*) override { return Local(); }
    HRESULT loginWithPassword(const char*, const unsigned char*, unsigned long) override { return Local(); }
    HRESULT cred_delete(const char*) override { return Local(); }
    HRESULT cred_addPassword(const char*, const unsigned char*, unsigned long, const unsigned char*,
                             unsigned long) override
    {
        return Local();
    }
    HRESULT cred_addSystemParameters(const char*, const char*) override { return Local(); }
    HRESULT cred_change(const char*, const unsigned char*, unsigned long, const char*, unsigned long) override
    {
        return Local();
    }
    HRESULT cred_finalCredUpdate() override { return Local(); }
    HRESULT control(SECAttribute* in, SECAttribute* out) override
    {
        HRESULT hr = Note(36, "control(" + Ptr(in) + ", " + Ptr(out) + ")");
        if (onControl)
            onControl(in, out);
        return hr;
    }

    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls;
    }
    std::string LastCall()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls.empty() ? std::string() : m_calls.back();
    }

    std::atomic<long> refs {1};
    HRESULT rc[64] = {};
    std::string signature;             // encryptDigest and decryptKey write these bytes
    unsigned long reportedLength = 0;  // and report this length (0: the bytes' own)
    std::string applValue;
    std::vector<std::string> applNames;
    std::function<void(SECAttribute*, SECAttribute*)> onControl;
    std::function<void(SECAttribute*)> onFilter;
    const char* fileName = nullptr;
    std::vector<SecSlot*> slots;
    SecToken* token = nullptr;
    SecSlotEvents* events = nullptr;
    TokenObjectPrivateKey* privateKey = nullptr;
    TokenObjectCertificate* certificate = nullptr;
    std::atomic<int> localCalls {0};

protected:
    ~RecordingPSE() { --g_objectsAlive; }

private:
    template <class T>
    static T* Give(T* object)
    {
        if (object != nullptr)
            object->AddRef();
        return object;
    }
    static std::string Text(const char* t) { return t ? "\"" + std::string(t) + "\"" : "NULL"; }
    static std::string Ptr(const void* p) { return p ? "value" : "NULL"; }
    HRESULT Note(int method, const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_calls.push_back(line);
        return rc[method];
    }
    HRESULT Local()
    {
        ++localCalls;
        return E_NOTIMPL;
    }
    HRESULT Buffer(int method, const char* name, const History* h, SECAttribute* a, const unsigned char* in,
                   unsigned long n, unsigned char* out, unsigned long* outLength)
    {
        std::string line = std::string(name) + "(" + Ptr(h) + ", " + Ptr(a) + ", " + Hex(in, n) + ", "
                           + std::to_string(*outLength) + ")";
        std::memcpy(out, signature.data(), std::min<size_t>(signature.size(), *outLength));
        *outLength = reportedLength != 0 ? reportedLength : signature.size();
        return Note(method, line);
    }

    std::mutex m_lock;
    std::vector<std::string> m_calls;
};

}  // namespace ZELK::PSESVC::test

namespace ZELK::PSESVC::test {

// The attribute's value becomes its own copy of `text`; an owned old value goes.
inline void SetText(SECAttribute* a, const char* text)
{
    if (a->owned && a->value != nullptr)
        a->type->free(a->value);
    a->type = WireTypeTable(SEC_TYPE_String);
    a->type->copy(text, &a->value);
    a->owned = 1;
    a->answered = 1;
}

// A chain of attributes with these ids, each value a text (NULL: none),
// made through the library's types.
inline SECAttribute* Chain(const std::vector<std::pair<uint32_t, const char*>>& attributes)
{
    SECAttribute* chain = nullptr;
    for (auto it = attributes.rbegin(); it != attributes.rend(); ++it) {
        WireTypeTable(SEC_TYPE_SECAttribute)->new_node(reinterpret_cast<void**>(&chain));
        chain->id = it->first;
        if (it->second != nullptr)
            SetText(chain, it->second);
    }
    return chain;
}

// One request straight into a service tunnel, in a buffer of exactly its
// length that also receives the reply; the reply (empty: the transport
// would end the connection) and the tunnel's result.
inline std::string Exchange(ITunnel* target, const std::string& request, HRESULT* result = nullptr)
{
    unsigned long length = request.size();
    auto* buffer = static_cast<unsigned char*>(sec_malloc(length != 0 ? length : 1));
    std::memcpy(buffer, request.data(), request.size());
    HRESULT hr = target->Transact(buffer, request.size(), &buffer, &length);
    if (result != nullptr)
        *result = hr;
    std::string reply(reinterpret_cast<char*>(buffer), length);
    sec_free(buffer);
    return reply;
}

inline std::string Word(uint32_t v)
{
    return Bytes({v >> 24 & 255, v >> 16 & 255, v >> 8 & 255, v & 255});
}

// A service session in this process: the session component with a
// recording PSE, and the client's root proxy over an in-process tunnel.
class Session {
public:
    Session()
    {
        CComObject<PSEStubImpl>::CreateInstance(&component);
        component->AddRef();
        pse = new RecordingPSE();
        component->SetPSE(pse);
        CComObject<InProcessTunnel>::CreateInstance(&tunnel);
        tunnel->AddRef();
        tunnel->target = static_cast<ITunnelPSE*>(component);
        root = PSEProxy::GetInstance(tunnel, 0);
    }
    ~Session()
    {
        if (root != nullptr)
            root->Release();
        tunnel->Release();
        if (component != nullptr)
            component->Release();
        pse->Release();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    ObjCache* Cache() { return static_cast<ObjCache*>(component); }
    std::string Send(const std::string& request, HRESULT* result = nullptr)
    {
        return Exchange(static_cast<ITunnelPSE*>(component), request, result);
    }

    CComObject<PSEStubImpl>* component = nullptr;
    RecordingPSE* pse = nullptr;
    CComObject<InProcessTunnel>* tunnel = nullptr;
    PSE* root = nullptr;
};

}  // namespace ZELK::PSESVC::test
