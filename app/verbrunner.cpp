#include "verbrunner.h"

#include <QEventLoop>
#include <QTimer>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "queues.h"
#include "zelk_class.h"
#include "zelk_strings.h"
#include "zelk_trace.h"

namespace kestrin::app {
namespace {

using ZELK::PSESVC::ICredUI;
using ZELK::PSESVC::IGUIVerb;
using ZELK::PSESVC::IGUIVerbs;

struct Finished {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;

    void Set()
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
    }
    bool Done()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return done;
    }
};

// The waiting form's caller: on the GUI thread a local loop keeps serving the
// dialog's window and the reload; elsewhere a plain wait.
void WaitFor(const std::shared_ptr<Finished>& finished)
{
    if (!IsGuiThread()) {
        std::unique_lock<std::mutex> lock(finished->mutex);
        finished->changed.wait(lock, [&finished] { return finished->done; });
        return;
    }
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (finished->Done())
            loop.quit();
    });
    poll.start();
    if (!finished->Done())
        loop.exec();
}

std::shared_ptr<Finished> Start(IGUIVerb* verb, std::function<void()> after, bool wait)
{
    if (verb == nullptr)
        return nullptr;
    ICredUI* dialog = nullptr;
    ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog));
    if (dialog == nullptr) {
        SECTRACE_FormatLn(nullptr, 1, "TableView: no credential dialog, verb %s not run",
                          verb->GetVerbName() ? verb->GetVerbName() : "");
        return nullptr;
    }
    dialog->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
    verb->AddRef();
    auto finished = std::make_shared<Finished>();
    std::thread([verb, dialog, after = std::move(after), finished, wait] {
        verb->DoVerb(dialog);
        dialog->GuiEnd();
        dialog->Release();
        verb->Release();
        if (after) {
            if (wait)
                RunOnGui(after);
            else
                PostToGui(after);
        }
        finished->Set();
    }).detach();
    return finished;
}

}  // namespace

void RunVerb(IGUIVerb* verb, std::function<void()> after)
{
    Start(verb, std::move(after), false);
}

void RunVerbNow(IGUIVerb* verb, std::function<void()> after)
{
    std::shared_ptr<Finished> finished = Start(verb, std::move(after), true);
    if (finished)
        WaitFor(finished);
}

void RunVerbsNamed(IGUIVerbs* verbs, const char* name, bool wait, const std::function<void()>& after)
{
    if (verbs == nullptr || name == nullptr)
        return;
    const uint64_t count = verbs->GetVerbCount();
    for (uint64_t i = 0; i < count; ++i) {
        IGUIVerb* verb = nullptr;
        if (FAILED(verbs->GetVerb(i, &verb)) || verb == nullptr)
            continue;
        const char* own = verb->GetVerbName();
        if (own && String_Compare(own, name) == 0) {
            if (wait)
                RunVerbNow(verb, after);
            else
                RunVerb(verb, after);
        }
        verb->Release();
    }
}

IGUIVerb* DefaultVerb(IGUIVerbs* verbs)
{
    if (verbs == nullptr)
        return nullptr;
    const uint64_t count = verbs->GetVerbCount();
    for (uint64_t i = 0; i < count; ++i) {
        IGUIVerb* verb = nullptr;
        if (FAILED(verbs->GetVerb(i, &verb)) || verb == nullptr)
            continue;
        if (verb->GetState() & ZELK::PSESVC::IGUIVerb_State_Default)
            return verb;
        verb->Release();
    }
    return nullptr;
}

}  // namespace kestrin::app
