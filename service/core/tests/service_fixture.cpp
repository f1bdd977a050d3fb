#include "service_fixture.h"

#include <dlfcn.h>

#include <mutex>
#include <thread>

#include "qevcrypto.h"
#include "zelk_module.h"

namespace kestrin::service::test {
namespace {

std::mutex s_mutex;
std::vector<std::string> s_lines;
QEV_REGISTER_TRACE_CALLBACK_FN s_register = nullptr;
QEV_SET_TRACE_LEVEL_FN s_setLevel = nullptr;

// The exports of the crypto library as it is loaded now: a stop and a new
// start of the runtime may have loaded it anew.
void FindExports()
{
    void* library = dlopen("libqevcrypto.so", RTLD_NOW | RTLD_NOLOAD);
    s_register =
        library ? reinterpret_cast<QEV_REGISTER_TRACE_CALLBACK_FN>(dlsym(library, "Qevcryptolib_RegisterTraceCallback"))
                : nullptr;
    s_setLevel =
        library ? reinterpret_cast<QEV_SET_TRACE_LEVEL_FN>(dlsym(library, "Qevcryptolib_SetTraceLevel")) : nullptr;
    if (library)
        dlclose(library);
}

int Collect(int level, const char*, const char*, const char* text)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_lines.push_back(std::to_string(level) + ":" + (text ? text : ""));
    return 0;
}

}  // namespace

void ServiceTest::SetUp()
{
    ASSERT_EQ(ZELK_Initialize(), 0);
    m_started = true;
    std::lock_guard<std::mutex> lock(s_mutex);
    s_lines.clear();
}

// A test that stopped the runtime itself may have unloaded the crypto
// library with it.
void ServiceTest::TearDown()
{
    if (!m_started)
        return;
    FindExports();
    if (s_register)
        s_register(0, nullptr);
    if (s_setLevel)
        s_setLevel(0);
    ZELK_Finalize();
}

void ServiceTest::CaptureTrace(int level)
{
    FindExports();
    ASSERT_NE(s_register, nullptr);
    s_setLevel(level);
    s_register(0, &Collect);
}

std::vector<std::string> ServiceTest::TraceLines()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_lines;
}

size_t ServiceTest::CountTrace(const std::string& part)
{
    size_t n = 0;
    for (const std::string& line : TraceLines())
        if (line.find(part) != std::string::npos)
            ++n;
    return n;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kestrin::service::test
