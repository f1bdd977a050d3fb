// The local-server kind of the persisted profile token: its certificate must
// allow TLS server authentication and names the local server's port; a
// login starts the local HTTPS server, a logout stops it.
#include <cstring>

#include "../model/model_localserver.h"
#include "token_kv_persistent.h"
#include "zelk_base_certificate_client.h"
#include "zelk_strings.h"
#include "zelk_trace.h"

ZELK_BASE_CERTIFICATE_CLIENT_BINDING();

namespace ZELK::PSESVC {
namespace {

constexpr const char* kWebAdapterTrace = "webadapter";
constexpr const char* kPortOid = "1.3.6.1.4.1.32473.2.5.2";
constexpr const char* kServerAuthOid = "1, 3, 6, 1, 5, 5, 7, 3, 1";
constexpr int64_t kMaxPort = 65535;
// Extensions walked per certificate.
constexpr unsigned long kMaxExtensions = 256;

const SEC_TYPE_TABLE* Types(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

// An object identifier built once from its text and kept for the process.
const ObjId* KeptObjId(const char* text)
{
    const auto* ids = static_cast<const SEC_OBJID_TYPE_TABLE*>(Types(SEC_TYPE_ObjId));
    ObjId* id = nullptr;
    if (ids == nullptr || FAILED(ids->from_text(text, &id)))
        return nullptr;
    return id;
}

const ObjId* PortOid()
{
    static const ObjId* id = KeptObjId(kPortOid);
    return id;
}

const ObjId* ServerAuthOid()
{
    static const ObjId* id = KeptObjId(kServerAuthOid);
    return id;
}

bool SameObjId(const ObjId* a, const ObjId* b)
{
    return a != nullptr && b != nullptr && a->length == b->length && std::memcmp(a->data, b->data, a->length) == 0;
}

// The local-server kind is the token manager's "hearthgate" profile token.
struct FactoryRegistration {
    FactoryRegistration() { CToken_KV::SetLocalServerFactory(&CToken_LocalServer::New); }
} s_factory;

}  // namespace

HRESULT CToken_LocalServer::New(const GUID& iid, void** out)
{
    return CFactoryImpl<CToken_LocalServer>::New(iid, out);
}

IGUIModelToken_Type CToken_LocalServer::GetTokenType()
{
    return static_cast<IGUIModelToken_Type>(7);
}

HRESULT CToken_LocalServer::PortOf(Certificate* cert, int* port)
{
    if (cert == nullptr || port == nullptr)
        return E_INVALIDARG;
    const ObjId* wanted = PortOid();
    const auto* ints = static_cast<const SEC_INT_TYPE_TABLE*>(Types(SEC_TYPE_int));
    if (wanted == nullptr || ints == nullptr)
        return E_FAIL;
    for (unsigned long i = 0; i < kMaxExtensions; ++i) {
        ObjId* id = nullptr;
        OctetString* value = nullptr;
        if (cert->getExtNonSupported(i, &id, &value, nullptr) != S_OK)
            break;
        int64_t number = 0;
        // Only a port in 1..65535 counts; anything else is no port.
        const bool found = SameObjId(id, wanted) && SUCCEEDED(ints->decode_integer(value, &number)) && number >= 1
                           && number <= kMaxPort;
        if (Types(SEC_TYPE_ObjId) != nullptr)
            Types(SEC_TYPE_ObjId)->free(id);
        if (Types(SEC_TYPE_OctetString) != nullptr)
            Types(SEC_TYPE_OctetString)->free(value);
        if (found) {
            *port = static_cast<int>(number);
            return S_OK;
        }
    }
    SECTRACE_WriteLn(kWebAdapterTrace, 1,
                     "Can not find Kestrin Port Extension (1.3.6.1.4.1.32473.2.5.2) in certificate.");
    return E_FAIL;
}

HRESULT CToken_LocalServer::GetPort(int* port)
{
    if (!m_cert || port == nullptr)
        return E_INVALIDARG;
    return PortOf(m_cert, port);
}

bool CToken_LocalServer::HasServerAuthentication(Certificate* cert)
{
    const ObjId* serverAuth = ServerAuthOid();
    return cert != nullptr && serverAuth != nullptr && Certificate_HasExtendKeyUsage(cert, serverAuth);
}

bool CToken_LocalServer::IsValidCert(const Certificate* cert, unsigned long margin)
{
    if (!CToken_KV::IsValidCert(cert, margin))
        return false;
    if (HasServerAuthentication(const_cast<Certificate*>(cert)))
        return true;
    SECTRACE_WriteLn(kWebAdapterTrace, 1,
                     "local server certificate does not contain extended Key Usage server authentication, abort");
    return false;
}

HRESULT CToken_LocalServer::UpdateToken(SecToken* target, const KeyInfo* key, const Certificate* cert,
                                        const SET_OF_Certificate* caCerts, const Certificate* rootCert, bool)
{
    // The local server's identity never goes to the key store.
    return CToken_KV::UpdateToken(target, key, cert, caCerts, rootCert, false);
}

HRESULT CToken_LocalServer::Init(SecToken* token, CModelToken* model, const char* readerName)
{
    HRESULT hr = CToken_KVPersistent::Init(token, model, readerName);
    CModelLocalServers::SetToken(this);
    return hr;
}

HRESULT CToken_LocalServer::RegisterOwnCerts(bool)
{
    // Never among the user's own certificates: only the port is read.
    m_port = 0;
    if (m_cancelRequested)
        CModelLocalServers::StopLocalServer();
    if (!m_cancelRequested && m_cert) {
        int port = 0;
        if (SUCCEEDED(GetPort(&port)))
            m_port = port;
    }
    return S_OK;
}

HRESULT CToken_LocalServer::StartLocalServer()
{
    HRESULT hr = m_webAdapter.Start();
    if (FAILED(hr)) {
        CModelLocalServers::SetMessage(m_webAdapter.getErrorMessage().c_str(), true);
        return hr;
    }
    CModelLocalServers::SetMessage(GetString("LOCALSERVER_SUCCESS_RUNNING"), false);
    CModelLocalServers::StartLocalServer(m_cert, static_cast<unsigned short>(m_port));
    return hr;
}

int CToken_LocalServer::LoginImpl(ICredUI* dialog, bool loginAs, const wchar_t* user)
{
    int rc = CToken_KVPersistent::LoginImpl(dialog, loginAs, user);
    if (SUCCEEDED(rc))
        StartLocalServer();
    else
        CModelLocalServers::SetMessage(GetString("LOCALSERVER_ERR_CAN_NOT_ENROLL"), true);
    return rc;
}

HRESULT CToken_LocalServer::Update(ICredUI* dialog)
{
    int rc = CToken_KV::LoginImpl(dialog, false, nullptr);
    if (SUCCEEDED(rc) || SUCCEEDED(LoginFromStore())) {
        StartLocalServer();
    } else {
        CModelLocalServers::StopLocalServer();
        CModelLocalServers::SetMessage(GetString("LOCALSERVER_ERR_CAN_NOT_ENROLL"), true);
        m_webAdapter.Stop();
    }
    return rc;
}

int CToken_LocalServer::Logout(ICredUI* dialog)
{
    CModelLocalServers::SetMessage(nullptr, false);
    CModelLocalServers::StopLocalServer();
    m_webAdapter.Stop();
    return CToken_KVPersistent::Logout(dialog);
}

}  // namespace ZELK::PSESVC
