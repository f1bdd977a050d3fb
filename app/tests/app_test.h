// Shared helpers of the application's tests.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "zelk_kestrin.h"
#include "zelk_object.h"

namespace kestrin::app::test {

// The temporary folder of the configuration and data.
std::string TestHome();

// One reference of a component, released at the end of the scope.
template <class T>
class Ref {
public:
    explicit Ref(T* p = nullptr) : m_p(p) {}
    ~Ref()
    {
        if (m_p)
            m_p->Release();
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    T* operator->() const { return m_p; }
    operator T*() const { return m_p; }
    T** operator&() { return &m_p; }
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    T* m_p;
};

// Runs the GUI loop until `done` holds; false after `ms` milliseconds.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// A call made on a thread of its own, as the service makes it.
class ServiceThread {
public:
    explicit ServiceThread(std::function<HRESULT()> call)
        : m_thread([this, call] {
            m_result = call();
            m_done = true;
        })
    {}
    ~ServiceThread() { m_thread.join(); }

    // Keeps the GUI loop running until the call has returned.
    bool Finish(int ms = 10000)
    {
        return PumpUntil([this] { return m_done.load(); }, ms);
    }
    bool Done() const { return m_done; }
    HRESULT Result() const { return m_result; }

private:
    std::atomic<bool> m_done {false};
    std::atomic<HRESULT> m_result {E_FAIL};
    std::thread m_thread;
};

// A top-level widget by object name, NULL when there is none.
inline QWidget* TopLevel(const QString& name)
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == name)
            return widget;
    return nullptr;
}

// The enrolment server's field as the prompt sees it.
class ServerField : public IKestrinInputField, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(ServerField)
    ZELK_INTMAP_ENTRY_IID(IID_IKestrinInputField, IKestrinInputField)
    ZELK_END_INTMAP()

    const char* GetUserPrompt() override { return nullptr; }
    const wchar_t* GetUserPromptW() override { return nullptr; }
    const char* GetType() override { return "password"; }
    const char* GetField() override { return field.c_str(); }
    const char* GetConfirmField() override { return confirm.empty() ? nullptr : confirm.c_str(); }
    const char* GetPreset() override { return nullptr; }
    const wchar_t* GetPresetW() override { return nullptr; }
    HRESULT SetValue(const wchar_t* text) override
    {
        ++calls;
        nullSeen = nullSeen || text == nullptr;
        value = text ? text : L"(null)";
        return S_OK;
    }

    std::string field;
    std::string confirm;
    std::wstring value;
    int calls = 0;
    bool nullSeen = false;
};

inline CComObject<ServerField>* NewServerField(const char* field, const char* confirm)
{
    CComObject<ServerField>* server = nullptr;
    CComObject<ServerField>::CreateInstance(&server);
    server->AddRef();
    server->field = field;
    server->confirm = confirm;
    return server;
}

}  // namespace kestrin::app::test
