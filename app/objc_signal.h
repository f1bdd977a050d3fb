// OBJC_Signal: lets a policy object (ISignal) or a model (IGUIRefreshCB) call
// a method of a window object. It only posts the call to the GUI thread, with
// the window as context, so a signal arriving after the window went is dropped.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <functional>

#include "zelk_gui_model.h"
#include "zelk_sync.h"

namespace kestrin::app {

class OBJC_Signal final : public ZELK::ISignal, public ZELK::PSESVC::IGUIRefreshCB {
public:
    OBJC_Signal(QObject* target, std::function<void()> method) : m_target(target), m_method(std::move(method)) {}

    void Signal() override
    {
        if (QCoreApplication::instance())
            QMetaObject::invokeMethod(m_target, m_method, Qt::QueuedConnection);
    }
    HRESULT RefreshCB(unsigned long) override
    {
        Signal();
        return S_OK;
    }

private:
    QObject* m_target;
    std::function<void()> m_method;
};

}  // namespace kestrin::app
