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
    void* library = dlopen("libqevcrypto.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    s_register = reinterpret_cast<QEV_REGISTER_TRACE_CALLBACK_FN>(dlsym(library, "Qevcryptolib_RegisterTraceCallback"));
    s_setLevel = reinterpret_cast<QEV_SET_TRACE_LEVEL_FN>(dlsym(library, "Qevcryptolib_SetTraceLevel"));
    dlclose(library);
    std::lock_guard<std::mutex> lock(s_mutex);
    s_lines.clear();
}

// A test that stopped the runtime itself may have unloaded the crypto
// library with it.
void ServiceTest::TearDown()
{
    if (!m_started)
        return;
    s_register(0, nullptr);
    s_setLevel(0);
    ZELK_Finalize();
}

void ServiceTest::CaptureTrace(int level)
{
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
