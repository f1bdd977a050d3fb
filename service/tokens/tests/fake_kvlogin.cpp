#include "fake_kvlogin.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_object.h"

namespace kestrin::tokens::test {
namespace {

std::mutex s_mutex;
std::condition_variable s_changed;
std::deque<KVStep> s_steps;
std::map<unsigned, std::wstring> s_strings;
std::vector<KVField> s_fields;
int s_version = 3;
unsigned s_type = 0;
std::vector<unsigned char> s_key, s_cert, s_chain, s_root;
HRESULT s_tokenResult = S_OK;
bool s_holdKey = false;
HRESULT s_keyResult = S_OK;
HRESULT s_createFails = S_OK;
std::map<std::string, std::function<void()>> s_actions;
std::vector<std::string> s_log;
int s_alive = 0;
int s_keysStarted = 0;

void Log(const std::string& entry)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_log.push_back(entry);
}

std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (const wchar_t* p = text; p != nullptr && *p != 0; ++p)
        out += static_cast<char>(*p < 128 ? *p : '?');
    return out;
}

OctetString* Octets(const std::vector<unsigned char>& bytes)
{
    if (bytes.empty())
        return nullptr;
    auto* octets = static_cast<OctetString*>(sec_calloc(1, sizeof(OctetString)));
    octets->data = static_cast<unsigned char*>(sec_malloc(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), octets->data);
    octets->length = bytes.size();
    return octets;
}

class Field : public IKestrinInputField, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Field)
    ZELK_INTMAP_ENTRY(IKestrinInputField)
    ZELK_END_INTMAP()

    void Set(unsigned long index, const KVField& field)
    {
        m_index = index;
        m_field = field;
        m_prompt.assign(field.prompt.begin(), field.prompt.end());
        m_preset.assign(field.preset.begin(), field.preset.end());
    }
    const char* GetUserPrompt() override { return m_field.prompt.c_str(); }
    const wchar_t* GetUserPromptW() override { return m_prompt.c_str(); }
    const char* GetType() override { return m_field.type.c_str(); }
    const char* GetField() override { return "field"; }
    const char* GetConfirmField() override { return ""; }
    const char* GetPreset() override { return m_field.preset.c_str(); }
    const wchar_t* GetPresetW() override { return m_preset.c_str(); }
    HRESULT SetValue(const wchar_t* value) override
    {
        Log("field " + std::to_string(m_index) + " " + Narrow(value));
        return S_OK;
    }

private:
    unsigned long m_index = 0;
    KVField m_field;
    std::wstring m_prompt;
    std::wstring m_preset;
};

class Client : public IKestrin, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Client)
    ZELK_INTMAP_ENTRY(IKestrin)
    ZELK_END_INTMAP()

    Client()
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        ++s_alive;
    }
    ~Client() override
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        --s_alive;
        s_changed.notify_all();
    }

    HRESULT SetPolicy(ZELK_IPolicy*) override { return Note("SetPolicy"); }
    HRESULT SetASC(ASC*) override { return Note("SetASC"); }
    HRESULT Get_Token(OctetString** key, OctetString** certificate, OctetString** chain, OctetString** root) override
    {
        Log("Get_Token");
        RunAction("Get_Token");
        std::lock_guard<std::mutex> lock(s_mutex);
        if (FAILED(s_tokenResult))
            return s_tokenResult;
        *key = Octets(s_key);
        *certificate = Octets(s_cert);
        *chain = Octets(s_chain);
        *root = Octets(s_root);
        return s_tokenResult;
    }
    HRESULT Send_Init(const wchar_t* language) override { return Request("Send_Init", Narrow(language)); }
    HRESULT Send_Auth(const wchar_t* user, const wchar_t* password) override
    {
        return Request("Send_Auth", Narrow(user) + " " + Narrow(password));
    }
    HRESULT Send_Auth_SPNEGO(const char* token) override
    {
        return Request("Send_Auth_SPNEGO", token != nullptr ? "token" : "none");
    }
    HRESULT Send_ServerPin() override { return Request("Send_ServerPin", ""); }
    HRESULT Send_NewPin(const wchar_t* pin) override { return Request("Send_NewPin", Narrow(pin)); }
    HRESULT Send_DeleteSession(int) override { return Note("Send_DeleteSession"); }
    HRESULT Send_NextCode(const wchar_t* code) override { return Request("Send_NextCode", Narrow(code)); }
    HRESULT Send_PKCS10() override { return Request("Send_PKCS10", ""); }
    const wchar_t* GetString(unsigned index) override
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        auto found = s_strings.find(index);
        if (found == s_strings.end())
            return nullptr;
        m_text = found->second;
        return m_text.c_str();
    }
    QM_CLIENT_STATE GetState() override
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return static_cast<QM_CLIENT_STATE>(m_state);
    }
    unsigned GetType() override
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_type;
    }
    HRESULT GetPinFormatInfo(int*, int*, signed char*) override { return E_NOTIMPL; }
    HRESULT SetKey(const KeyPair*) override { return Note("SetKey"); }
    HRESULT CreateKey(unsigned long) override
    {
        Log("CreateKey");
        std::unique_lock<std::mutex> lock(s_mutex);
        ++s_keysStarted;
        s_changed.notify_all();
        s_changed.wait(lock, [this] { return !s_holdKey || m_cancelled; });
        HRESULT result = m_cancelled ? E_ABORT : s_keyResult;
        s_log.push_back("KeyDone");
        return result;
    }
    HRESULT GetPKCS10(OctetString**) override { return E_NOTIMPL; }
    HRESULT CreatePKCS10(const char*, const char*) override { return E_NOTIMPL; }
    HRESULT ImportPKCS7(const OctetString*) override { return E_NOTIMPL; }
    HRESULT SetSPNegoCB(IKestrin_SPNegoCB*) override { return S_OK; }
    HRESULT SetCertNameRequest(const char* name) override
    {
        return Note(std::string("SetCertNameRequest ") + (name != nullptr ? name : "(null)"));
    }
    HRESULT GetInputObjects(unsigned long index, IKestrinInputField** out) override
    {
        *out = nullptr;
        KVField field;
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            if (index >= s_fields.size())
                return E_FAIL;
            field = s_fields[index];
        }
        CComObject<Field>* made = nullptr;
        CComObject<Field>::CreateInstance(&made);
        made->Set(index, field);
        made->AddRef();
        *out = made;
        return S_OK;
    }
    HRESULT Send_Auth() override { return Request("Send_Auth", ""); }
    HRESULT Cancel() override
    {
        Log("Cancel");
        std::lock_guard<std::mutex> lock(s_mutex);
        m_cancelled = true;
        s_changed.notify_all();
        return S_OK;
    }
    HRESULT SetClientConfig(IJsonObject*) override { return E_NOTIMPL; }
    HRESULT GetProtocolVersion() override
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_version;
    }
    HRESULT SetClientCertTemplate(const unsigned char*, unsigned long) override { return E_NOTIMPL; }

private:
    HRESULT Note(const std::string& entry)
    {
        Log(entry);
        return S_OK;
    }
    static void RunAction(const std::string& method)
    {
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            auto found = s_actions.find(method);
            if (found != s_actions.end())
                action = found->second;
        }
        if (action)
            action();
    }
    HRESULT Request(const std::string& method, const std::string& argument)
    {
        Log(argument.empty() ? method : method + " " + argument);
        RunAction(method);
        std::lock_guard<std::mutex> lock(s_mutex);
        if (m_cancelled)
            return E_ABORT;
        if (s_steps.empty()) {
            m_state = QM_STATE_ERROR;
            return E_FAIL;
        }
        KVStep step = s_steps.front();
        s_steps.pop_front();
        m_state = step.stateAfter;
        return step.result;
    }

    int m_state = QM_STATE_INIT;
    bool m_cancelled = false;
    std::wstring m_text;
};

HRESULT CreateClient(const GUID& iid, void** out)
{
    *out = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (FAILED(s_createFails))
            return s_createFails;
    }
    return CFactoryImpl<Client>::New(iid, out);
}

CZELK_CLASS s_class(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_CLASS, &CreateClient);

}  // namespace

void KVScript::Steps(const std::vector<KVStep>& steps)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_steps.assign(steps.begin(), steps.end());
}

void KVScript::Strings(const std::map<unsigned, std::wstring>& strings)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_strings = strings;
}

void KVScript::Fields(const std::vector<KVField>& fields)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_fields = fields;
}

void KVScript::Protocol(int version, unsigned messageType)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_version = version;
    s_type = messageType;
}

void KVScript::Identity(const std::vector<unsigned char>& key, const std::vector<unsigned char>& cert,
                        const std::vector<unsigned char>& chain, const std::vector<unsigned char>& root, HRESULT result)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_key = key;
    s_cert = cert;
    s_chain = chain;
    s_root = root;
    s_tokenResult = result;
}

void KVScript::HoldKey(bool on)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_holdKey = on;
    s_changed.notify_all();
}

void KVScript::KeyResult(HRESULT result)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_keyResult = result;
}

void KVScript::OnRequest(const std::string& method, std::function<void()> action)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_actions[method] = std::move(action);
}

void KVScript::CreateFails(HRESULT code)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_createFails = code;
}

void KVScript::Reset()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_steps.clear();
    s_strings.clear();
    s_fields.clear();
    s_version = 3;
    s_type = 0;
    s_key.clear();
    s_cert.clear();
    s_chain.clear();
    s_root.clear();
    s_tokenResult = S_OK;
    s_holdKey = false;
    s_keyResult = S_OK;
    s_createFails = S_OK;
    s_actions.clear();
    s_log.clear();
    s_keysStarted = 0;
    s_changed.notify_all();
}

std::vector<std::string> KVScript::Log()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_log;
}

size_t KVScript::Count(const std::string& entry)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    size_t count = 0;
    for (const std::string& line : s_log)
        count += line == entry ? 1 : 0;
    return count;
}

int KVScript::Alive()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_alive;
}

bool KVScript::WaitForKeyStart()
{
    std::unique_lock<std::mutex> lock(s_mutex);
    return s_changed.wait_for(lock, std::chrono::seconds(30), [] { return s_keysStarted > 0; });
}

}  // namespace kestrin::tokens::test
