// A scripted enrolment client ("zelk.kvlogin" of "zelkkvlogin") for the
// profile token's tests: its state after each request, its strings, input
// fields, protocol version and message type, the identity Get_Token hands
// out, a key generation the test releases, and a log of every call.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "zelk_kestrin.h"

namespace kestrin::tokens::test {

struct KVStep {
    HRESULT result = S_OK;
    int stateAfter = QM_STATE_DONE;
};

struct KVField {
    std::string type;
    std::string prompt;
    std::string preset;
};

struct KVScript {
    // The answers of the requests (Send_*) in order; past the last one a
    // request fails and the client reports the error state.
    static void Steps(const std::vector<KVStep>& steps);
    static void Strings(const std::map<unsigned, std::wstring>& strings);
    static void Fields(const std::vector<KVField>& fields);
    static void Protocol(int version, unsigned messageType);
    // DER of key (PKCS#8), certificate, chain (SET OF) and root; empty
    // leaves that output NULL. `result` is Get_Token's answer.
    static void Identity(const std::vector<unsigned char>& key, const std::vector<unsigned char>& cert,
                         const std::vector<unsigned char>& chain, const std::vector<unsigned char>& root,
                         HRESULT result = S_OK);
    // CreateKey waits while held (Cancel ends the wait with E_ABORT).
    static void HoldKey(bool on);
    static void KeyResult(HRESULT result);
    // Runs on the caller's thread when the request of that name (or
    // Get_Token) arrives.
    static void OnRequest(const std::string& method, std::function<void()> action);
    // Creating a client fails with this code.
    static void CreateFails(HRESULT code);
    static void Reset();

    // "SetPolicy", "SetASC", "Send_Init en-US", "Send_Auth <user> <password>",
    // "Send_Auth", "Send_NewPin <pin>", "Send_NextCode <code>",
    // "Send_Auth_SPNEGO", "Send_PKCS10", "Send_DeleteSession", "CreateKey",
    // "KeyDone", "SetCertNameRequest <name>", "SetKey", "Cancel", "Get_Token",
    // "field <index> <value>" for a value the dialog wrote.
    static std::vector<std::string> Log();
    static size_t Count(const std::string& entry);
    // Clients alive; keys being made.
    static int Alive();
    static bool WaitForKeyStart();
};

}  // namespace kestrin::tokens::test
