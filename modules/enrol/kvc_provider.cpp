#include "kvc_provider.h"

#include <memory>

#include "enrol_bindings.h"
#include "qev_attributes.h"
#include "zelk_class.h"
#include "zelk_policy_client.h"

namespace kestrin::enrol {
namespace {

constexpr unsigned kUtf8 = 65001;
constexpr unsigned kKeySize = 1536;
constexpr const wchar_t* kLanguage = L"en-US";

bool IsCancel(HRESULT answer)
{
    return answer == E_ABORT || answer == E_UI_CANCELLED;
}

// A container of this module behind the interface, with one reference; NULL
// for anything else.
KVC_PSE* OwnContainer(KVC_IPSE* object)
{
    return KVC_PSE::From(object);
}

const wchar_t* FirstNonEmpty(const wchar_t* first, const wchar_t* second)
{
    return first != nullptr && *first != 0 ? first : second;
}

// The PSE image of a container under the empty password, registered as an
// in-memory file; the image's bytes are wiped when `image` goes.
HRESULT RegisterImage(KVC_PSE* container, AuxByteBufferImpl<true>& image, StringT<char>& name)
{
    HRESULT hr = container->getAsPSE("", nullptr, image.Length());
    if (SUCCEEDED(hr))
        hr = image.Reserve(*image.Length());
    if (SUCCEEDED(hr))
        hr = container->getAsPSE("", image.Data(), image.Length());
    if (FAILED(hr))
        return hr;
    OctetString bytes = image.Octets();
    char* created = nullptr;
    hr = IoTable()->mem_reg(nullptr, &bytes, &created);
    if (SUCCEEDED(hr))
        name.Attach(created);
    return hr;
}

}  // namespace

HRESULT KVC_Provider::New(KVC_Provider** out, KVC_IHandler* handler)
{
    if (out == nullptr)
        return E_POINTER;
    KVC_IProvider* object = nullptr;
    HRESULT hr = CFactoryImpl<KVC_Provider>::New(IID_KVC_IProvider, reinterpret_cast<void**>(&object));
    *out = SUCCEEDED(hr) ? static_cast<KVC_Provider*>(object) : nullptr;
    if (*out != nullptr)
        (*out)->m_handler = handler;
    return hr;
}

KVC_Provider::~KVC_Provider()
{
    std::lock_guard<std::mutex> lock(m_threadLock);
    if (m_loginThread) {
        m_loginThread.Wait(-1);
        m_loginThread.Close();
    }
}

bool KVC_Provider::LoginHeld()
{
    return m_loginThread && !m_loginReleased.load();
}

HRESULT KVC_Provider::setTLSTrustAnchors(KVC_IPSE* anchors)
{
    std::lock_guard<std::mutex> lock(m_threadLock);
    if (LoginHeld())
        return E_COMMON_INVALIDDATA;
    m_anchors.Attach(OwnContainer(anchors));
    return S_OK;
}

HRESULT KVC_Provider::setClientCert(KVC_IPSE* certificate)
{
    std::lock_guard<std::mutex> lock(m_threadLock);
    if (LoginHeld())
        return E_COMMON_INVALIDDATA;
    m_clientCert.Attach(OwnContainer(certificate));
    return S_OK;
}

HRESULT KVC_Provider::EnsureConfiguration()
{
    if (m_config)
        return S_OK;
    return ZELK_PolOpenType("policy", "zelk.policy.mem", &m_config);
}

HRESULT KVC_Provider::startLogin(const char* url, int flags)
{
    return startLoginEx(url, nullptr, flags);
}

HRESULT KVC_Provider::startLoginEx(const char* url, KVC_IPSE* renewalTemplate, int)
{
    std::lock_guard<std::mutex> lock(m_threadLock);
    if (LoginHeld())
        return E_COMMON_INVALIDDATA;
    // A login that ended with a result has marked its end: join it first.
    if (m_loginThread) {
        m_loginThread.Wait(-1);
        m_loginThread.Close();
    }
    m_url = url;
    m_template.Attach(OwnContainer(renewalTemplate));
    HRESULT hr = EnsureConfiguration();
    if (FAILED(hr))
        return hr;
    m_config->SetString("enrollURL0", url);
    m_config->SetDWORD("keySize", kKeySize);
    m_loginReleased = false;
    return ZELK::Thread::Create(&m_loginThread, this, &KVC_Provider::loginThread);
}

HRESULT KVC_Provider::cancel()
{
    return E_NOTIMPL;
}

HRESULT KVC_Provider::wait(int milliseconds)
{
    std::lock_guard<std::mutex> lock(m_threadLock);
    if (m_loginThread && m_loginThread.Wait(milliseconds)) {
        m_loginThread.Close();
        m_loginReleased = false;
    }
    return S_OK;
}

HRESULT KVC_Provider::getEngine(const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    std::lock_guard<std::mutex> lock(m_engineLock);
    if (!m_engine)
        return E_COMMON_INVALIDDATA;
    return m_engine->QueryInterface(iid, out);
}

HRESULT KVC_Provider::setProxy(const char* proxyUrl)
{
    HRESULT hr = EnsureConfiguration();
    if (FAILED(hr))
        return hr;
    m_config->SetString("HTTPProxyURL", proxyUrl);
    return S_OK;
}

void KVC_Provider::SetEngine(IKestrin* client)
{
    std::lock_guard<std::mutex> lock(m_engineLock);
    m_engine = client;
}

void KVC_Provider::WaitKeyThread()
{
    if (!m_keyThread)
        return;
    m_keyThread.Wait(-1);
    m_keyThread.Close();
}

HRESULT KVC_Provider::MakeContext(ASC** out)
{
    // Both images are read by the context as it is made; they leave the
    // library's in-memory files (wiped) right after.
    AuxByteBufferImpl<true> clientImage;
    AuxByteBufferImpl<true> anchorsImage;
    StringT<char> clientName;
    StringT<char> anchorsName;
    SECAttribute attributes[2] = {};
    SECAttribute* chain = nullptr;
    SECAttribute** tail = &chain;
    HRESULT hr = S_OK;
    if (m_clientCert)
        hr = RegisterImage(m_clientCert, clientImage, clientName);
    if (SUCCEEDED(hr) && m_anchors)
        hr = RegisterImage(m_anchors, anchorsImage, anchorsName);
    size_t used = 0;
    const StringT<char>* names[] = {std::addressof(clientName), std::addressof(anchorsName)};
    for (const StringT<char>* name : names) {
        if (!*name)
            continue;
        attributes[used].id = SEC_ATTR_PSE_IMAGE;
        attributes[used].value = const_cast<char*>(static_cast<const char*>(*name));
        *tail = &attributes[used];
        tail = &attributes[used].next;
        ++used;
    }
    if (SUCCEEDED(hr))
        hr = AscTable()->create_ASC(out, chain);
    for (const StringT<char>* name : names)
        if (*name)
            IoTable()->mem_unreg(*name);
    return hr;
}

bool KVC_Provider::Ask(KVC_IHandler* handler, KVC_LoginData* question, const wchar_t* message, HRESULT* answer)
{
    m_question = question;
    question->SetMessageW(message);
    *answer = handler->requestLoginData(question);
    return !IsCancel(*answer);
}

unsigned KVC_Provider::Failed(KVC_IHandler* handler, HRESULT result, const wchar_t* message)
{
    // The host is told of a failure with a failure code, whatever the step left.
    if (SUCCEEDED(result))
        result = E_FAIL;
    StringT<char> text(message, kUtf8);
    handler->loginFailed(result, text);
    m_question.Free();
    handler->Release();
    return static_cast<unsigned>(result);
}

unsigned KVC_Provider::StepFailed(KVC_IHandler* handler, IKestrin* client, HRESULT result)
{
    StringT<wchar_t> message;
    if (client != nullptr)
        message = FirstNonEmpty(client->GetString(8), client->GetString(2));
    WaitKeyThread();
    SetEngine(nullptr);
    m_loginReleased = true;
    return Failed(handler, result, message);
}

unsigned KVC_Provider::Result(KVC_IHandler* handler, IKestrin* client)
{
    WaitKeyThread();
    KVC_PSE* result = nullptr;
    HRESULT hr = KVC_PSE::New(&result);
    if (FAILED(hr))
        return StepFailed(handler, client, hr);
    result->useSameSettings(m_template);
    hr = result->loadFromKestrin(client);
    m_loginReleased = true;
    if (SUCCEEDED(hr)) {
        handler->loginSucceeded(result);
    } else {
        char* text = nullptr;
        HRESULT code = result->getError(&text);
        HRESULT reported = FAILED(code) ? code : hr;
        handler->loginFailed(reported, text);
        if (text != nullptr)
            sec_free(text);
    }
    result->Release();
    m_question.Free();
    handler->Release();
    return 0;
}

unsigned KVC_Provider::createTokenThread()
{
    ZELK_PTR(IKestrin) client;
    {
        std::lock_guard<std::mutex> lock(m_engineLock);
        client = m_engine;
    }
    if (!client)
        return static_cast<unsigned>(E_FAIL);
    HRESULT hr = client->CreateKey(0);
    client->SetCertNameRequest(nullptr);
    return static_cast<unsigned>(hr);
}

unsigned KVC_Provider::loginThread()
{
    KVC_IHandler* handler = m_handler;
    handler->AddRef();
    ZELK_PTR(IKestrin) client;
    HRESULT hr =
        ZELK_CreateObject(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_CLASS, IID_IKestrin, reinterpret_cast<void**>(&client));
    if (FAILED(hr) || !client)
        return StepFailed(handler, nullptr, FAILED(hr) ? hr : E_FAIL);
    SetEngine(client);
    client->SetPolicy(m_config);

    ASC* asc = nullptr;
    hr = MakeContext(&asc);
    if (FAILED(hr))
        return StepFailed(handler, client, hr);
    client->SetASC(asc);
    asc->Release();

    if (m_template) {
        AuxByteBufferImpl<false> certificate;
        if (SUCCEEDED(m_template->getChainCert(0, nullptr, certificate.Length()))
            && SUCCEEDED(certificate.Reserve(*certificate.Length()))
            && SUCCEEDED(m_template->getChainCert(0, certificate.Data(), certificate.Length())))
            client->SetClientCertTemplate(certificate.Data(), *certificate.Length());
    }

    hr = S_OK;
    QM_CLIENT_STATE state = QM_STATE_INIT;
    for (;;) {
        switch (state) {
        case QM_STATE_INIT:
            hr = client->Send_Init(kLanguage);
            if (FAILED(ZELK::Thread::Create(&m_keyThread, this, &KVC_Provider::createTokenThread)))
                hr = FAILED(hr) ? hr : E_FAIL;
            break;
        case QM_STATE_AUTH: {
            KVC_LoginData* question = nullptr;
            hr = KVC_LoginData::New_UsernamePassword(&question);
            if (FAILED(hr))
                break;
            AuxRefPtr<KVC_LoginData> held;
            held.Attach(question);
            const wchar_t* message = client->GetString(2);
            HRESULT answer = S_OK;
            if (!Ask(handler, question, message, &answer)) {
                WaitKeyThread();
                return Failed(handler, answer, message);
            }
            question->wait(-1);
            if (client->GetProtocolVersion() == 1)
                WaitKeyThread();
            wchar_t* user = nullptr;
            wchar_t* password = nullptr;
            question->GetValues(&user, &password, nullptr);
            hr = client->Send_Auth(user, password);
            StringT<wchar_t> wipeUser;
            wipeUser.Attach(user);
            wipeUser.Burn();
            StringT<wchar_t> wipePassword;
            wipePassword.Attach(password);
            wipePassword.Burn();
            m_question.Free();
            break;
        }
        case QM_STATE_SPNEGO:
        case QM_STATE_NEW_PIN:
        case QM_STATE_NEXT_CODE:
            // Not offered to hosts.
            hr = E_ABORT;
            break;
        case QM_STATE_READY:
            WaitKeyThread();
            hr = client->Send_PKCS10();
            break;
        case QM_STATE_DONE:
            return Result(handler, client);
        case QM_STATE_INPUT: {
            KVC_LoginData* question = nullptr;
            hr = KVC_LoginData::New(&question, client);
            if (FAILED(hr))
                break;
            AuxRefPtr<KVC_LoginData> held;
            held.Attach(question);
            StringT<wchar_t> message(FirstNonEmpty(client->GetString(2), client->GetString(8)));
            HRESULT answer = S_OK;
            if (!Ask(handler, question, message, &answer)) {
                WaitKeyThread();
                return Failed(handler, answer, message);
            }
            question->wait(-1);
            m_question.Free();
            hr = client->Send_Auth();
            break;
        }
        case QM_STATE_ERROR:
        default:
            WaitKeyThread();
            return Failed(handler, hr, client->GetString(2));
        }
        if (FAILED(hr))
            return StepFailed(handler, client, hr);
        state = client->GetState();
    }
}

}  // namespace kestrin::enrol
