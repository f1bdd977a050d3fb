#include "model_clients.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_holders.h"
#include "zelk_strings.h"
#include "zelk_stringset.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_clientsClass("zelk", "zelk.clients", &CSingletonFactoryImpl<CModelClients>::New);
CZELK_CLASS s_connectionsClass("zelk", "zelk.connections", &CSingletonFactoryImpl<CModelApplicationConnections>::New);

std::atomic<unsigned> s_nextConnectionId {0};

uint64_t ProcStartTime(unsigned pid)
{
    if (pid == 0)
        return 0;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return 0;
    // The command in field 2 may hold blanks and parentheses: count from the last ")".
    size_t end = line.rfind(')');
    if (end == std::string::npos)
        return 0;
    const char* p = line.c_str() + end + 1;
    for (int field = 3; field < 22; ++field) {
        p = std::strchr(p + 1, ' ');
        if (p == nullptr)
            return 0;
    }
    unsigned long long value = 0;
    return std::sscanf(p, " %llu", &value) == 1 ? value : 0;
}

std::atomic<CModelClients::StartTimeFn> s_startTime {&ProcStartTime};

// The calling thread's active client, with one reference.
struct ActiveClient {
    CModelClient* client = nullptr;
    ~ActiveClient() { Set(nullptr); }
    void Set(CModelClient* next)
    {
        if (next != nullptr)
            static_cast<IGUIModelClient*>(next)->AddRef();
        CModelClient* old = client;
        client = next;
        if (old != nullptr)
            static_cast<IGUIModelClient*>(old)->Release();
    }
};
thread_local ActiveClient t_active;

IUnknown* Unknown(CModelApplicationConnection* c)
{
    return static_cast<IGUIModelApplicationConnection*>(c);
}

IUnknown* Unknown(CModelClient* c)
{
    return static_cast<IGUIModelClient*>(c);
}

void FreeValue(unsigned int index, void* value)
{
    const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, index);
    if (value != nullptr && table != nullptr)
        table->free(value);
}

// Upper-cased copy for comparisons without regard to case (ASCII letters).
std::string Upper(const char* text)
{
    std::string s = text != nullptr ? text : "";
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Connection

CModelApplicationConnection::~CModelApplicationConnection()
{
    sec_free(m_name);
    if (m_tempKey != nullptr)
        m_tempKey->Release();
    SetSelectedPCI(nullptr);
    FreeValue(SEC_TYPE_SET_OF_String, m_tokenURIs);
}

HRESULT CModelApplicationConnection::New(CModelApplicationConnection** out, CModelClient* client, const wchar_t* name,
                                         const char* tokenURI)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<CModelApplicationConnection>* connection = nullptr;
    if (FAILED(CComObject<CModelApplicationConnection>::CreateInstance(&connection)))
        return E_OUTOFMEMORY;
    connection->AddRef();
    if (FAILED(String_Copy(name != nullptr ? name : L"", &connection->m_name))) {
        connection->Release();
        return E_OUTOFMEMORY;
    }
    connection->m_id = ++s_nextConnectionId;
    connection->m_client = client;
    connection->m_tokenURI.Set(tokenURI);
    *out = connection;
    return S_OK;
}

int CModelApplicationConnection::Compare(IGUIModelApplicationConnection* other)
{
    if (other == nullptr)
        return 1;
    return String_Compare(GetName(), other->GetName());
}

int CModelApplicationConnection::Compare(IGUIModelClient* client)
{
    if (client == nullptr)
        return 1;
    CModelClient* own = nullptr;
    if (FAILED(client->QueryInterface(IID_CModelClient, reinterpret_cast<void**>(&own))))
        return 1;
    int result = -own->Compare(static_cast<IGUIModelApplicationConnection*>(this));
    Unknown(own)->Release();
    return result;
}

const wchar_t* CModelApplicationConnection::GetName()
{
    return m_name;
}

int64_t CModelApplicationConnection::GetUsageCount()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_usage;
}

HRESULT CModelApplicationConnection::GetClient(IGUIModelClient** out)
{
    if (out == nullptr)
        return E_POINTER;
    CriticalCodeSection lock(GetCriticalSection());
    *out = m_client;
    if (m_client == nullptr)
        return E_FAIL;
    (*out)->AddRef();
    return S_OK;
}

CModelClient* CModelApplicationConnection::ClientOf()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_client;
}

void CModelApplicationConnection::LeaveClient()
{
    CriticalCodeSection lock(GetCriticalSection());
    m_client = nullptr;
}

HRESULT CModelApplicationConnection::GetSelectedPCI(PersonalCertificateInfo** out)
{
    if (out == nullptr)
        return E_POINTER;
    CriticalCodeSection lock(GetCriticalSection());
    *out = nullptr;
    const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo);
    if (m_selected != nullptr && table != nullptr && SUCCEEDED(table->add_ref(m_selected)))
        *out = m_selected;
    return S_OK;
}

HRESULT CModelApplicationConnection::SetSelectedPCI(PersonalCertificateInfo* certificate)
{
    const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo);
    if (table == nullptr)
        return E_FAIL;
    if (certificate != nullptr && FAILED(table->add_ref(certificate)))
        return E_FAIL;
    PersonalCertificateInfo* old = nullptr;
    {
        CriticalCodeSection lock(GetCriticalSection());
        old = m_selected;
        m_selected = certificate;
    }
    if (old != nullptr)
        table->free(old);
    return S_OK;
}

HRESULT CModelApplicationConnection::GetToken(const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CriticalCodeSection lock(GetCriticalSection());
    if (!m_token)
        return E_FAIL;
    return m_token->QueryInterface(iid, out);
}

const char* CModelApplicationConnection::GetTokenURI()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_tokenURI.Get();
}

HRESULT CModelApplicationConnection::ConnectionClosed()
{
    Unknown(this)->AddRef();
    CModelClient* client = nullptr;
    {
        CriticalCodeSection lock(GetCriticalSection());
        client = m_client;
        if (client != nullptr)
            Unknown(client)->AddRef();
    }
    if (client != nullptr) {
        client->StopApplication(this);
        CModelApplicationConnections::UnregisterConnection(this);
        Unknown(client)->Release();
    }
    Unknown(this)->Release();
    return S_OK;
}

HRESULT CModelApplicationConnection::SetPolicy(ZELK_IPolicy* application, ZELK_IPolicy* common)
{
    CriticalCodeSection lock(GetCriticalSection());
    m_policyApplication = application;
    m_policyCommon = common;
    return S_OK;
}

HRESULT CModelApplicationConnection::GetPolicy(ZELK_IPolicy** application, ZELK_IPolicy** common)
{
    CriticalCodeSection lock(GetCriticalSection());
    for (auto [out, held] :
         {std::pair {application, m_policyApplication.getObject()}, {common, m_policyCommon.getObject()}}) {
        if (out == nullptr)
            continue;
        *out = held;
        if (held != nullptr)
            held->AddRef();
    }
    return S_OK;
}

HRESULT CModelApplicationConnection::GetTokenURIs(SET_OF_String** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_String);
    if (table == nullptr)
        return E_FAIL;
    CriticalCodeSection lock(GetCriticalSection());
    if (m_tokenURIs == nullptr)
        return S_OK;
    void* copy = nullptr;
    HRESULT hr = table->copy(m_tokenURIs, &copy);
    *out = static_cast<SET_OF_String*>(copy);
    return hr;
}

void CModelApplicationConnection::SetTokenURIs(SET_OF_String* list)
{
    SET_OF_String* old = nullptr;
    {
        CriticalCodeSection lock(GetCriticalSection());
        old = m_tokenURIs;
        m_tokenURIs = list;
    }
    FreeValue(SEC_TYPE_SET_OF_String, old);
}

bool CModelApplicationConnection::HasTokenURIStartingWith(const char* prefix)
{
    CriticalCodeSection lock(GetCriticalSection());
    return SET_OF_String_contains_StartsWith(m_tokenURIs, prefix) != 0;
}

void CModelApplicationConnection::RemoveTokenURIsStartingWith(const char* prefix)
{
    CriticalCodeSection lock(GetCriticalSection());
    SET_OF_String_remove_StartsWith(&m_tokenURIs, prefix);
}

HRESULT CModelApplicationConnection::GetCertificateContainer(IGUIModelContainer** out)
{
    if (out == nullptr)
        return E_POINTER;
    CriticalCodeSection lock(GetCriticalSection());
    *out = m_certificates.getObject();
    if (*out != nullptr)
        (*out)->AddRef();
    return S_OK;
}

void CModelApplicationConnection::SetCertificateContainer(IGUIModelContainer* container)
{
    // The old container is released outside the lock: its last release
    // leaves the models it watched.
    CComPtr<CComIID<IGUIModelContainer, &IID_IGUIModelContainer>> old;
    CriticalCodeSection lock(GetCriticalSection());
    old = m_certificates;
    m_certificates = container;
}

HRESULT CModelApplicationConnection::GetPCI(SET_OF_PersonalCertificateInfo** out, SECAttribute*)
{
    if (out == nullptr)
        return E_POINTER;
    std::string uri = GetTokenURI();
    if (uri.empty())
        return S_OK;
    return ConnectionTokenPCI(uri.c_str(), out);
}

HRESULT CModelApplicationConnection::IncrementUsageCount(unsigned long n)
{
    if (n == 0)
        return S_OK;
    {
        CriticalCodeSection lock(GetCriticalSection());
        m_usage += static_cast<int64_t>(n);
    }
    NextRevision();
    return S_OK;
}

HRESULT CModelApplicationConnection::DecrementUsageCount(unsigned long n)
{
    if (n == 0)
        return S_OK;
    {
        CriticalCodeSection lock(GetCriticalSection());
        m_usage -= static_cast<int64_t>(n);
    }
    NextRevision();
    return S_OK;
}

HRESULT CModelApplicationConnection::SetTokenURI(const char* uri)
{
    if (uri == nullptr || *uri == '\0') {
        CriticalCodeSection lock(GetCriticalSection());
        m_tokenURI.Set(nullptr);
        m_token = nullptr;
        return S_OK;
    }
    IGUIModel* model = nullptr;
    ConnectionTokenModel(uri, &model);
    {
        CriticalCodeSection lock(GetCriticalSection());
        m_tokenURI.Set(uri);
        m_token = model;
    }
    if (model != nullptr)
        model->Release();
    NextRevision();
    return S_OK;
}

HRESULT CModelApplicationConnection::SetToken(IGUIModel* token)
{
    CriticalCodeSection lock(GetCriticalSection());
    m_token = token;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Client

CModelClient::~CModelClient()
{
    // A record dropped with connections still listed ends them.
    Stop();
    sec_free(m_name);
    sec_free(m_nameW);
}

HRESULT CModelClient::New(CModelClient** out, unsigned pid, const char* processPath)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<CModelClient>* client = nullptr;
    if (FAILED(CComObject<CModelClient>::CreateInstance(&client)))
        return E_OUTOFMEMORY;
    client->AddRef();
    client->m_pid = pid;
    client->m_startTime = s_startTime.load()(pid);
    const char* name = processPath != nullptr ? processPath : "";
    if (const char* slash = std::strrchr(name, '/'))
        name = slash + 1;
    String_Copy(name, &client->m_name);
    // Bytes that are no UTF-8 become replacement characters.
    String_Convert(name, &client->m_nameW, 0);
    if (client->m_nameW == nullptr)
        String_Copy(L"", &client->m_nameW);
    if (client->m_name == nullptr || client->m_nameW == nullptr) {
        client->Release();
        return E_OUTOFMEMORY;
    }
    *out = client;
    return S_OK;
}

int CModelClient::Compare(IGUIModelClient* other)
{
    if (other == nullptr)
        return 1;
    int result = String_CompareNoCase(GetProcessName(), other->GetProcessName());
    if (result != 0)
        return result;
    unsigned mine = GetGetProcessID();
    unsigned theirs = other->GetGetProcessID();
    return mine < theirs ? -1 : (mine > theirs ? 1 : 0);
}

int CModelClient::Compare(IGUIModelApplicationConnection* connection)
{
    if (connection == nullptr)
        return 1;
    IGUIModelClient* client = nullptr;
    if (FAILED(connection->GetClient(&client)) || client == nullptr)
        return 1;
    int result = Compare(client);
    client->Release();
    return result == 0 ? -1 : result;
}

uint64_t CModelClient::GetApplicationCount()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_connections.Count();
}

const wchar_t* CModelClient::GetApplication(unsigned long index)
{
    CriticalCodeSection lock(GetCriticalSection());
    return index < m_connections.Count() ? m_connections[index]->GetName() : nullptr;
}

HRESULT CModelClient::StartApplication(const char* name, const char* tokenURI, unsigned* connectionId,
                                       CModelApplicationConnection** out)
{
    if (out != nullptr)
        *out = nullptr;
    wchar_t* wide = nullptr;
    String_Convert(name != nullptr ? name : "", &wide, 0);
    HRESULT hr = S_OK;
    {
        CriticalCodeSection lock(GetCriticalSection());
        CModelApplicationConnection* connection = nullptr;
        hr = CModelApplicationConnection::New(&connection, this, wide != nullptr ? wide : L"", tokenURI);
        if (SUCCEEDED(hr)) {
            if (connectionId != nullptr)
                *connectionId = connection->GetConnectionId();
            connection->IncrementUsageCount(1);
            hr = m_connections.Add(connection);
            if (SUCCEEDED(hr)) {
                connection->SetTokenURI(tokenURI);
                hr = CModelApplicationConnections::RegisterConnection(connection);
                if (FAILED(hr))
                    m_connections.Delete(m_connections.Count() - 1);
            }
            if (SUCCEEDED(hr) && out != nullptr)
                *out = connection;
            else
                Unknown(connection)->Release();
        }
    }
    sec_free(wide);
    if (FAILED(hr))
        return hr;
    NextRevision();
    return S_OK;
}

HRESULT CModelClient::StopApplication(const char* name, const char* tokenURI)
{
    const char* uri = tokenURI != nullptr ? tokenURI : "kerberos:";
    wchar_t* wide = nullptr;
    String_Convert(name != nullptr ? name : "", &wide, 0);
    {
        CriticalCodeSection lock(GetCriticalSection());
        for (uint64_t i = 0; wide != nullptr && i < m_connections.Count(); ++i) {
            CModelApplicationConnection* connection = m_connections[i];
            if (String_Compare(connection->GetName(), wide) != 0 || std::strcmp(connection->GetTokenURI(), uri) != 0)
                continue;
            connection->DecrementUsageCount(1);
            if (connection->GetUsageCount() <= 0) {
                Unknown(connection)->AddRef();
                m_connections.Delete(i);
                connection->LeaveClient();
                CModelApplicationConnections::UnregisterConnection(connection);
                Unknown(connection)->Release();
            }
            break;
        }
    }
    sec_free(wide);
    NextRevision();
    return S_OK;
}

HRESULT CModelClient::StopApplication(CModelApplicationConnection* connection)
{
    {
        CriticalCodeSection lock(GetCriticalSection());
        for (uint64_t i = 0; i < m_connections.Count(); ++i) {
            if (m_connections[i] == connection) {
                Unknown(connection)->AddRef();
                m_connections.Delete(i);
                connection->LeaveClient();
                Unknown(connection)->Release();
                break;
            }
        }
    }
    NextRevision();
    return S_OK;
}

HRESULT CModelClient::Stop()
{
    TempKeysClientStop(this);
    CriticalCodeSection lock(GetCriticalSection());
    while (m_connections.Count() > 0) {
        CModelApplicationConnection* connection = m_connections[m_connections.Count() - 1];
        Unknown(connection)->AddRef();
        m_connections.Delete(m_connections.Count() - 1);
        connection->LeaveClient();
        int64_t usage = connection->GetUsageCount();
        if (usage > 0)
            connection->DecrementUsageCount(static_cast<unsigned long>(usage));
        CModelApplicationConnections::UnregisterConnection(connection);
        Unknown(connection)->Release();
    }
    return S_OK;
}

HRESULT CModelClient::SetURL(const char* text)
{
    CriticalCodeSection lock(GetCriticalSection());
    m_url.Set(text);
    return S_OK;
}

HRESULT CModelClient::SetAction(const char* text)
{
    CriticalCodeSection lock(GetCriticalSection());
    m_action.Set(text);
    return S_OK;
}

HRESULT CModelClient::SetDescription(const char* text)
{
    CriticalCodeSection lock(GetCriticalSection());
    m_description.Set(text);
    return S_OK;
}

const char* CModelClient::GetURL()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_url.Get();
}

const char* CModelClient::GetAction()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_action.Get();
}

const char* CModelClient::GetDescription()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_description.Get();
}

HRESULT CModelClient::SetCredUi(ICredUI* dialog)
{
    CriticalCodeSection lock(GetCriticalSection());
    m_dialog = dialog;
    return S_OK;
}

HRESULT CModelClient::GetCredUi(ICredUI** out)
{
    if (out == nullptr)
        return E_POINTER;
    CriticalCodeSection lock(GetCriticalSection());
    *out = m_dialog;
    if (*out != nullptr)
        (*out)->AddRef();
    return S_OK;
}

bool CModelClient::IsInProcessList(const char* list)
{
    if (list == nullptr || *list == '\0' || m_name == nullptr || *m_name == '\0')
        return false;
    return Upper(list).find(Upper(m_name)) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Client list

void CModelClients::SetStartTimeReader(StartTimeFn reader)
{
    s_startTime.store(reader != nullptr ? reader : &ProcStartTime);
}

HRESULT CModelClients::Existing(CModelClients** out)
{
    // The list exists once a connect created it; nothing here creates it.
    ZELK::CriticalCodeSection lock(&s_cs);
    if (s_pThis == nullptr)
        return E_FAIL;
    s_pThis->AddRef();
    *out = s_pThis;
    return S_OK;
}

bool CModelClients::IsListed(CModelClient* client)
{
    CriticalCodeSection lock(GetCriticalSection());
    for (uint64_t i = 0; i < m_elements.Count(); ++i)
        if (m_elements[i] == client)
            return true;
    return false;
}

HRESULT CModelClients::GetClient(const char* process, unsigned pid, CModelClient** out)
{
    *out = nullptr;
    CModelClient* gone = nullptr;
    {
        CriticalCodeSection lock(GetCriticalSection());
        for (uint64_t i = 0; i < m_elements.Count(); ++i) {
            CModelClient* client = m_elements[i];
            if (client->GetGetProcessID() != pid)
                continue;
            uint64_t started = s_startTime.load()(pid);
            if (started != 0 && client->GetStartTime() != 0 && started != client->GetStartTime()) {
                // The id belongs to a new process: the old record goes.
                Unknown(client)->AddRef();
                m_elements.Delete(i);
                gone = client;
                break;
            }
            Unknown(client)->AddRef();
            *out = client;
            return S_OK;
        }
        HRESULT hr = CModelClient::New(out, pid, process);
        if (SUCCEEDED(hr)) {
            hr = m_elements.Add(*out);
            if (FAILED(hr)) {
                Unknown(*out)->Release();
                *out = nullptr;
            }
        }
        if (gone == nullptr)
            return hr;
        if (FAILED(hr)) {
            gone->Stop();
            Unknown(gone)->Release();
            return hr;
        }
    }
    gone->Stop();
    Unknown(gone)->Release();
    NextRevision();
    return S_OK;
}

HRESULT CModelClients::ClientConnect(const char* process, unsigned int pid)
{
    CModelClients* clients = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModelClients>::New(&clients);
    if (FAILED(hr))
        return hr;
    CModelClient* client = nullptr;
    hr = clients->GetClient(process, pid, &client);
    if (SUCCEEDED(hr)) {
        bool first = false;
        {
            CriticalCodeSection lock(clients->GetCriticalSection());
            first = ++client->m_sessions == 1;
        }
        if (first)
            clients->NextRevision();
        Unknown(client)->Release();
    }
    clients->Release();
    return hr;
}

HRESULT CModelClients::ClientDisconnect(const char* process, unsigned int pid)
{
    CModelClients* clients = nullptr;
    if (FAILED(Existing(&clients)))
        return E_FAIL;
    t_active.Set(nullptr);
    CModelClient* client = nullptr;
    HRESULT hr = clients->GetClient(process, pid, &client);
    if (SUCCEEDED(hr)) {
        bool last = false;
        {
            CriticalCodeSection lock(clients->GetCriticalSection());
            if (client->m_sessions > 0)
                --client->m_sessions;
            if (client->m_sessions == 0) {
                for (uint64_t i = 0; i < clients->m_elements.Count(); ++i) {
                    if (clients->m_elements[i] == client) {
                        clients->m_elements.Delete(i);
                        last = true;
                        break;
                    }
                }
            }
        }
        if (last) {
            client->Stop();
            clients->NextRevision();
        }
        Unknown(client)->Release();
    }
    clients->Release();
    return hr;
}

HRESULT CModelClients::ClientActive(const char* process, unsigned int pid)
{
    CModelClients* clients = nullptr;
    if (FAILED(Existing(&clients)))
        return E_FAIL;
    HRESULT hr = S_OK;
    CModelClient* active = t_active.client;
    if (active == nullptr || active->GetGetProcessID() != pid || !clients->IsListed(active)) {
        CModelClient* client = nullptr;
        hr = clients->GetClient(process, pid, &client);
        if (SUCCEEDED(hr)) {
            t_active.Set(client);
            Unknown(client)->Release();
        }
    }
    clients->Release();
    return hr;
}

HRESULT CModelClients::GetActiveClient(CModelClient** out)
{
    if (out == nullptr)
        return E_POINTER;
    CModelClients* clients = nullptr;
    if (FAILED(Existing(&clients)))
        return E_FAIL;
    *out = nullptr;
    CModelClient* active = t_active.client;
    if (active != nullptr && !clients->IsListed(active)) {
        // A record no longer listed is no thread's active client.
        t_active.Set(nullptr);
        active = nullptr;
    }
    if (active != nullptr) {
        Unknown(active)->AddRef();
        *out = active;
    }
    clients->Release();
    return S_OK;
}

HRESULT CModelClients::StartApplication(const char* name, const char* tokenURI, unsigned* connectionId,
                                        CModelApplicationConnection** out)
{
    CModelClient* client = nullptr;
    if (FAILED(GetActiveClient(&client)) || client == nullptr)
        return E_FAIL;
    HRESULT hr = client->StartApplication(name, tokenURI, connectionId, out);
    Unknown(client)->Release();
    return hr;
}

HRESULT CModelClients::StopApplication(const char* name, const char* tokenURI)
{
    CModelClient* client = nullptr;
    if (FAILED(GetActiveClient(&client)) || client == nullptr)
        return E_FAIL;
    HRESULT hr = client->StopApplication(name, tokenURI);
    Unknown(client)->Release();
    return hr;
}

// ---------------------------------------------------------------------------
// Connection list

HRESULT CModelApplicationConnections::RegisterConnection(CModelApplicationConnection* connection)
{
    if (connection == nullptr)
        return E_INVALIDARG;
    CModelApplicationConnections* connections = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModelApplicationConnections>::New(&connections);
    if (FAILED(hr))
        return hr;
    {
        CriticalCodeSection lock(connections->GetCriticalSection());
        hr = connections->m_elements.Add(connection);
    }
    if (SUCCEEDED(hr))
        connections->NextRevision();
    connections->Release();
    return hr;
}

HRESULT CModelApplicationConnections::UnregisterConnection(CModelApplicationConnection* connection)
{
    CModelApplicationConnections* connections = nullptr;
    {
        ZELK::CriticalCodeSection lock(&s_cs);
        if (s_pThis == nullptr)
            return E_FAIL;
        s_pThis->AddRef();
        connections = s_pThis;
    }
    bool removed = false;
    bool shared = false;
    std::string uri;
    {
        CriticalCodeSection lock(connections->GetCriticalSection());
        for (uint64_t i = 0; i < connections->m_elements.Count(); ++i) {
            if (connections->m_elements[i] == connection) {
                Unknown(connection)->AddRef();
                connections->m_elements.Delete(i);
                removed = true;
                break;
            }
        }
        if (removed) {
            uri = connection->GetTokenURI();
            for (uint64_t i = 0; i < connections->m_elements.Count(); ++i)
                if (uri == connections->m_elements[i]->GetTokenURI())
                    shared = true;
        }
    }
    if (removed) {
        connections->NextRevision();
        IUnknown* key = nullptr;
        {
            CriticalCodeSection lock(connection->GetCriticalSection());
            std::swap(key, connection->m_tempKey);
        }
        if (key != nullptr)
            TempKeyConnectionGone(key);
        if (!shared && !uri.empty())
            StartTokenAutoLogout(uri.c_str());
        Unknown(connection)->Release();
    }
    connections->Release();
    return S_OK;
}

HRESULT CModelApplicationConnections::GetConnection(unsigned id, CModelApplicationConnection** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CModelApplicationConnections* connections = nullptr;
    {
        ZELK::CriticalCodeSection lock(&s_cs);
        if (s_pThis == nullptr)
            return E_FAIL;
        s_pThis->AddRef();
        connections = s_pThis;
    }
    HRESULT hr = E_FAIL;
    {
        CriticalCodeSection lock(connections->GetCriticalSection());
        for (uint64_t i = 0; i < connections->m_elements.Count(); ++i) {
            if (connections->m_elements[i]->GetConnectionId() == id) {
                *out = connections->m_elements[i];
                Unknown(*out)->AddRef();
                hr = S_OK;
                break;
            }
        }
    }
    connections->Release();
    return hr;
}

}  // namespace ZELK::PSESVC
