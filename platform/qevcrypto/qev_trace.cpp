#include "qev_trace.h"

#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "qev_trace_config.h"
#include "qevcrypto.h"

namespace {

std::atomic<unsigned int> s_level {0};
std::atomic<QEV_TRACE_CALLBACK> s_callback {nullptr};
std::mutex s_outputLock;  // guards s_traceFile and keeps lines whole
std::string s_traceFile;

std::string trim(const std::string& text)
{
    size_t b = text.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return std::string();
    size_t e = text.find_last_not_of(" \t\r");
    return text.substr(b, e - b + 1);
}

std::string format_line(const char* format, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, args);
    return std::string(big.data(), static_cast<size_t>(n));
}

std::string timestamp()
{
    timeval now {};
    gettimeofday(&now, nullptr);
    tm local {};
    localtime_r(&now.tv_sec, &local);
    char text[64];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03ld", static_cast<long>(now.tv_usec / 1000));
    return text;
}

int syslog_priority(unsigned int level)
{
    switch (level) {
    case 1:
        return LOG_ERR;
    case 2:
        return LOG_WARNING;
    case 3:
        return LOG_NOTICE;
    default:
        return LOG_DEBUG;
    }
}

}  // namespace

namespace {

// The file's level (-1 without one) and trace file ("" without a folder);
// false without the file.
bool read_configuration(long* level, std::string* traceFile)
{
    std::ifstream in(QevTraceConfigFile());
    if (!in)
        return false;
    std::string line;
    std::string directory;
    *level = -1;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = trim(line.substr(0, eq));
        std::string value = trim(line.substr(eq + 1));
        if (key == "Level")
            *level = std::strtol(value.c_str(), nullptr, 10);
        else if (key == "Directory")
            directory = value;
    }
    const char* home = std::getenv("HOME");
    const std::string token = QEV_TRACE_HOME_TOKEN;
    if (home && *home)
        for (size_t at = 0; (at = directory.find(token, at)) != std::string::npos; at += std::strlen(home))
            directory.replace(at, token.size(), home);
    *traceFile = directory.empty() ? std::string() : directory + "/qevcrypto" + QEV_TRACE_FILE_SUFFIX;
    return true;
}

}  // namespace

void qev_trace_configure()
{
    long level = -1;
    std::string traceFile;
    if (!read_configuration(&level, &traceFile))
        return;
    if (level >= 0)
        s_level = static_cast<unsigned int>(level > 15 ? 15 : level);
    std::lock_guard<std::mutex> lock(s_outputLock);
    s_traceFile = traceFile;
}

unsigned int qev_trace_level(const char*)
{
    return s_level.load();
}

void qev_trace_write(unsigned int level, const char* module, const char* format, va_list args)
{
    unsigned int inForce = qev_trace_level(module);
    // The level decides before anything is formatted: detail lines cost
    // nothing while they are not traced.
    if (inForce == 0 || level > inForce || format == nullptr)
        return;
    std::string text = format_line(format, args);
    const char* name = module ? module : "qevcrypto";

    QEV_TRACE_CALLBACK callback = s_callback.load();
    if (callback)
        callback(static_cast<int>(level), name, nullptr, text.c_str());

    std::lock_guard<std::mutex> lock(s_outputLock);
    if (!s_traceFile.empty()) {
        if (FILE* f = std::fopen(s_traceFile.c_str(), "a")) {
            std::fprintf(f, "%s [%d] %s %u %s\n", timestamp().c_str(), static_cast<int>(getpid()), name, level,
                         text.c_str());
            std::fclose(f);
        }
        return;
    }
    if (callback)
        return;
    if (isatty(STDERR_FILENO)) {
        std::fprintf(stderr, "%s [%d] %s %u %s\n", timestamp().c_str(), static_cast<int>(getpid()), name, level,
                     text.c_str());
        return;
    }
    syslog(LOG_USER | syslog_priority(level), "%s: %s", name, text.c_str());
}

extern "C" QEV_EXPORT HRESULT Qevcryptolib_RegisterTraceCallback(int, QEV_TRACE_CALLBACK callback)
{
    s_callback = callback;
    return S_OK;
}

extern "C" QEV_EXPORT HRESULT Qevcryptolib_SetTraceLevel(int level)
{
    s_level = static_cast<unsigned int>(level < 0 ? 0 : (level > 15 ? 15 : level));
    long fileLevel = -1;
    std::string traceFile;
    if (level > 0) {
        read_configuration(&fileLevel, &traceFile);
        std::lock_guard<std::mutex> lock(s_outputLock);
        s_traceFile = traceFile;
    }
    return S_OK;
}
