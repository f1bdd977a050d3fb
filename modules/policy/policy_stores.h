// The two stores outside the preference files: named values of one key kept
// in memory (the write member of every temporary clone), and the values of one
// section of an INI-style file.
#pragma once

#include <mutex>
#include <string>

#include "ini_file.h"
#include "mem_records.h"
#include "zelk_object.h"
#include "zelk_policy.h"

namespace zelkpolicy {

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

  const char* GetName() override;
  const char* GetPath() override;
  int Bind(const char* path) override;
  int Bind(const char* path, signed char flag) override;
  bool IsConfigured(const char* name) override;
  int EnumSubKey(long index, char* name, long size) override;
  int CreateSubKey(const char* name, signed char flag, ZELK_IPolicy** out) override;
  int OpenSubKey(long index, ZELK_IPolicy** out) override;
  bool IsChild(const char* name) override;
  int OpenChild(const char* name, unsigned flags, ZELK_IPolicy** out) override;
  bool IsChangeable(const char* name) override;
  bool IsFromPolicy(const char* name) override;
  int GetString(const char* name, char** value) override;
  unsigned GetDWORD(const char* name) override;
  int GetBinary(const char* name, OctetString** value) override;
  int SetString(const char* name, const char* value) override;
  int SetDWORD(const char* name, unsigned value) override;
  int SetBinary(const char* name, OctetString* value) override;
  int DeleteSubkey(const char* name) override;
  int SetConfigPath(const char* file) override;
  int RegisterCallback(ZELK::ISignal* callback) override;

  int SetWriteThrough(signed char flag) override;
  int BindTemplate(const char* path) override;
  int GetDWORD(const char* name, unsigned* value) override;
  int AddSignal(ZELK::ISignal* signal) override;
  int RemoveSignal(ZELK::ISignal* signal) override;

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

  const char* GetName() override;
  const char* GetPath() override;
  int Bind(const char* path) override;
  int Bind(const char* path, signed char flag) override;
  bool IsConfigured(const char* name) override;
  int EnumSubKey(long index, char* name, long size) override;
  int CreateSubKey(const char* name, signed char flag, ZELK_IPolicy** out) override;
  int OpenSubKey(long index, ZELK_IPolicy** out) override;
  bool IsChild(const char* name) override;
  int OpenChild(const char* name, unsigned flags, ZELK_IPolicy** out) override;
  bool IsChangeable(const char* name) override;
  bool IsFromPolicy(const char* name) override;
  int GetString(const char* name, char** value) override;
  unsigned GetDWORD(const char* name) override;
  int GetBinary(const char* name, OctetString** value) override;
  int SetString(const char* name, const char* value) override;
  int SetDWORD(const char* name, unsigned value) override;
  int SetBinary(const char* name, OctetString* value) override;
  int DeleteSubkey(const char* name) override;
  int SetConfigPath(const char* file) override;
  int RegisterCallback(ZELK::ISignal* callback) override;

  int SetWriteThrough(signed char flag) override;
  int BindTemplate(const char* path) override;
  int GetDWORD(const char* name, unsigned* value) override;
  int AddSignal(ZELK::ISignal* signal) override;
  int RemoveSignal(ZELK::ISignal* signal) override;

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

}  // namespace zelkpolicy
