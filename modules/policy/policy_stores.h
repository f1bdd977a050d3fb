// The two stores outside the preference files: named values of one key kept
// in memory (the write member of every temporary clone), and the values of one
// section of an INI-style file.
#pragma once

#include <mutex>
#include <string>

#include "ini_file.h"
#include "mem_records.h"
#include "policy_overrides.h"
#include "zelk_object.h"
#include "zelk_policy.h"

namespace kestrin::policy {

class ZELK_Policy_Mem : public ZELK_IPolicy, public ZELK_IPolicy_Internal, public CComObjectRoot {
public:
    ZELK_Policy_Mem() = default;
    ~ZELK_Policy_Mem() override = default;
    ZELK_Policy_Mem(const ZELK_Policy_Mem&) = delete;
    ZELK_Policy_Mem& operator=(const ZELK_Policy_Mem&) = delete;

    ZELK_BEGIN_INTMAP(ZELK_Policy_Mem)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy_Internal)
    ZELK_INTMAP_ENTRY_CLASS(IID_ZELK_Policy_Mem)
    ZELK_END_INTMAP()

    ZELK_POLICY_OVERRIDES

private:
    std::mutex m_lock;  // the bound path
    bool m_bound = false;
    std::string m_path;
    MemRecords m_records;
};

class ZELK_Policy_File : public ZELK_IPolicy, public ZELK_IPolicy_Internal, public CComObjectRoot {
public:
    ZELK_Policy_File() = default;
    // Writes a change that is still unwritten.
    ~ZELK_Policy_File() override;
    ZELK_Policy_File(const ZELK_Policy_File&) = delete;
    ZELK_Policy_File& operator=(const ZELK_Policy_File&) = delete;

    ZELK_BEGIN_INTMAP(ZELK_Policy_File)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy_Internal)
    ZELK_INTMAP_ENTRY_CLASS(IID_ZELK_Policy_File)
    ZELK_END_INTMAP()

    ZELK_POLICY_OVERRIDES

    // Writes the lines when a change is unwritten; the write's failure, the
    // change then staying unwritten.
    HRESULT Flush();

private:
    bool FindValue(const char* name, std::string* value);
    HRESULT FlushLocked();

    std::recursive_mutex m_lock;
    bool m_unwritten = false;
    std::string m_file;
    bool m_bound = false;
    std::string m_path;
    bool m_writeThrough = false;
    IniFile m_ini;
};

}  // namespace kestrin::policy
