// Watches the store's folder with inotify for writes of other processes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "keystore.h"

namespace kestrin::keystore {

class Watcher {
public:
    // `onChange` runs on the watcher's thread once per burst of changes to the
    // database file or its journal files.
    static HRESULT Start(const std::string& dir, const std::string& base, std::function<void()> onChange,
                         std::unique_ptr<Watcher>* out);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

private:
    Watcher(int inotifyFd, int stopFd, std::string base, std::function<void()> onChange);
    void Run();
    bool DrainRelevant();

    int inotifyFd_;
    int stopFd_;
    std::string base_;
    std::function<void()> onChange_;
    std::thread thread_;
};

}  // namespace kestrin::keystore
