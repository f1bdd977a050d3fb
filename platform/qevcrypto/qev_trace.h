// The library's trace output: level in force, the registered callback and
// where lines go (a configured trace file; else standard error when it is a
// terminal; else syslog).
#pragma once

#include <cstdarg>

// Reads the trace configuration file of qev_trace_config.h ("Level", and
// "Directory" for the trace file "qevcrypto.trc", "%HOME%" standing for the
// home directory). Without the file nothing changes. Setting a level reads
// "Directory" again, so tracing switched on later needs no restart.
void qev_trace_configure();

// One line: formatted only when `level` (0 to 15) is in force for the module.
void qev_trace_write(unsigned int level, const char* module, const char* format, va_list args);

unsigned int qev_trace_level(const char* module);
