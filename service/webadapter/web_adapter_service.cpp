#include "web_adapter_service.h"

#include <cwchar>

#include "../core/create_object.h"
#include "../core/task_manager.h"
#include "tls_connection_factory.h"
#include "zelk_timeapi.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

namespace {

constexpr const char* TRACE_MODULE = "webadapter";
constexpr const char* RAW_SERVER_CLASS = "zelk.comsock.raw.server";
constexpr const char* API_FACTORY_CLASS = "zelk.webclient.api.factory";

}  // namespace

CWebAdapterService::CWebAdapterService()
{
    GetResourceManager(L"zelkgui", &m_texts);
}

CWebAdapterService::~CWebAdapterService()
{
    CTaskManager* tasks = nullptr;
    if (SUCCEEDED(CTaskManager::GetExisting(&tasks))) {
        tasks->DeleteTask(&CWebAdapterService::RunStart, reinterpret_cast<unsigned long>(this));
        tasks->Release();
    }
    Stop();
}

void CWebAdapterService::SetError(const char* key)
{
    const wchar_t* text = m_texts ? m_texts->GetW(key) : nullptr;
    if (text == nullptr || std::wcscmp(text, ZELK_RESLOADER_NO_RESOURCES_W) == 0)
        m_error.clear();
    else
        m_error = text;
}

std::wstring CWebAdapterService::getErrorMessage()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_error;
}

HRESULT CWebAdapterService::Start()
{
    // The token's verbs and the local-server row's update both reach here.
    std::lock_guard<std::mutex> lock(m_lock);
    HRESULT hr;
    if (!m_rawServer) {
        hr = ZELK_CreateObject("zelkcomsock", RAW_SERVER_CLASS, &m_rawServer);
        if (FAILED(hr))
            return hr;
    }
    if (!m_apiFactory) {
        hr = ZELK_CreateObject("zelk", API_FACTORY_CLASS, &m_apiFactory);
        if (FAILED(hr))
            return hr;
    }
    m_rawServer->Disconnect(m_tlsFactory);
    m_tlsFactory.Free();
    // The class identifier answers the object itself, whose first base is
    // its class factory.
    AuxRefPtr<IClassFactory> tlsFactory;
    hr = ZELK_CreateObject("zelk", WEBCLIENT::TLS_FACTORY_CLASS, IID_CTLSConnectionFactory,
                           reinterpret_cast<void**>(&tlsFactory));
    if (FAILED(hr))
        return hr;
    // A factory whose configuration failed would listen and refuse every
    // connection: report it and bind nothing.
    hr = static_cast<WEBCLIENT::CTLSConnectionFactory*>(static_cast<IClassFactory*>(tlsFactory))->CreateInstance();
    if (FAILED(hr)) {
        SetError("LOCALSERVER_ERR_TLS_ERROR");
        return hr;
    }
    hr = tlsFactory->QueryInterface(IID_ITunnelSource, reinterpret_cast<void**>(&m_tlsFactory));
    if (FAILED(hr))
        return hr;
    hr = m_rawServer->Connect(m_tlsFactory);
    if (FAILED(hr)) {
        SetError("LOCALSERVER_ERR_PORT_IN_USE");
        return hr;
    }
    hr = m_tlsFactory->Connect(m_apiFactory);
    if (FAILED(hr)) {
        SetError("LOCALSERVER_ERR_TLS_ERROR");
        return hr;
    }
    SECTRACE_WriteLn(TRACE_MODULE, 4, "Webadapter local server started successfully.");
    return S_OK;
}

HRESULT CWebAdapterService::Stop()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_tlsFactory && m_rawServer) {
        m_tlsFactory->Disconnect(m_apiFactory);
        m_rawServer->Disconnect(m_tlsFactory);
    }
    m_rawServer.Free();
    m_tlsFactory.Free();
    m_apiFactory.Free();
    return S_OK;
}

int CWebAdapterService::RunStart(unsigned long service)
{
    reinterpret_cast<CWebAdapterService*>(service)->Start();
    return 0;
}

HRESULT CWebAdapterService::StartTask()
{
    CTaskManager* tasks = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CTaskManager>::New(&tasks);
    if (FAILED(hr) || tasks == nullptr)
        return FAILED(hr) ? hr : E_FAIL;
    hr = tasks->AddTask("CWebAdapterService::StartTask", &CWebAdapterService::RunStart,
                        reinterpret_cast<unsigned long>(this), 0, TIME_UNIT_MILLISECONDS, false);
    tasks->Release();
    return hr;
}

}  // namespace ZELK::PSESVC
