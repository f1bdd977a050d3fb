// ZELK_Policy: answers the reads its inner object cannot answer from the
// built-in default map chosen by the bound key path; everything else goes to
// the inner object.
#pragma once

#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"

namespace zelkpolicy {

class ZELK_Policy : public ZELK_IPolicy, public ZELK_IPolicy_Internal, public CComObjectRoot {
 public:
  ZELK_Policy() = default;
  ~ZELK_Policy() override = default;
  ZELK_Policy(const ZELK_Policy&) = delete;
  ZELK_Policy& operator=(const ZELK_Policy&) = delete;

  ZELK_BEGIN_INTMAP(ZELK_Policy)
  ZELK_INTMAP_ENTRY(ZELK_IPolicy)
  ZELK_INTMAP_ENTRY(ZELK_IPolicy_Internal)
  ZELK_INTMAP_ENTRY_CLASS(IID_ZELK_Policy)
  ZELK_END_INTMAP()

  // A wrapper over a new object of the named class of module "zelkpolicy";
  // the creation's failure when there is no such object.
  static HRESULT NewClass(const char* className, const GUID& iid, void** out);
  // Creators of "zelk.policy.plist" and "zelk.policy.file".
  static HRESULT NewPlist(const GUID& iid, void** out);
  static HRESULT NewFile(const GUID& iid, void** out);

  // The default entry of `name` in the chosen map, or NULL.
  const ZELK_PolicyDefault* GetDefaultValue(const char* name) const;

  // ZELK_IPolicy
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

  // ZELK_IPolicy_Internal
  int SetWriteThrough(signed char flag) override;
  int BindTemplate(const char* path) override;
  int GetDWORD(const char* name, unsigned* value) override;
  int AddSignal(ZELK::ISignal* signal) override;
  int RemoveSignal(ZELK::ISignal* signal) override;

 private:
  ZELK_PTR(ZELK_IPolicy) m_inner;
  ZELK_PTR(ZELK_IPolicy_Internal) m_innerInternal;
  const ZELK_PolicyMap* m_template = nullptr;
  bool m_writeThrough = true;
};

}  // namespace zelkpolicy
