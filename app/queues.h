// The application's queues: the serial queue "kvc.ui" that runs one dialog
// worker at a time, the GUI thread's queue, and a thread per verb.
#pragma once

#include <functional>

namespace kestrin::app {

// "kvc.ui": one detached thread that runs blocks in the order they came.
class SerialQueue {
public:
    explicit SerialQueue(const char* label);
    ~SerialQueue() = delete;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const char* Label() const { return m_label; }
    void Async(std::function<void()> block);
    // True on the queue's own thread.
    bool IsCurrent() const;

private:
    struct State;
    const char* m_label;
    State* m_state;
};

// True on the thread that owns the widgets.
bool IsGuiThread();
// Runs `block` on the GUI thread later; dropped when there is no GUI loop.
void PostToGui(std::function<void()> block);
// Runs `block` on the GUI thread and waits for it (at once on the GUI thread).
// False, with the block not run, when no GUI loop will ever run it.
bool RunOnGui(const std::function<void()>& block);
// Marks the GUI loop running or ended. Ending it releases every waiting
// RunOnGui with false.
void BeginGuiLoop();
void EndGuiLoop();
bool GuiLoopEnded();

}  // namespace kestrin::app
