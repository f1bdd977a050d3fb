// The operations every policy class of this module implements, declared once
// so that a change to the interfaces reaches all of them.
#pragma once

#define ZELK_POLICY_OVERRIDES                                                                                          \
    /* ZELK_IPolicy */                                                                                                 \
    const char* GetName() override;                                                                                    \
    const char* GetPath() override;                                                                                    \
    int Bind(const char* path) override;                                                                               \
    int Bind(const char* path, signed char flag) override;                                                             \
    bool IsConfigured(const char* name) override;                                                                      \
    int EnumSubKey(long index, char* name, long size) override;                                                        \
    int CreateSubKey(const char* name, signed char flag, ZELK_IPolicy** out) override;                                 \
    int OpenSubKey(long index, ZELK_IPolicy** out) override;                                                           \
    bool IsChild(const char* name) override;                                                                           \
    int OpenChild(const char* name, unsigned flags, ZELK_IPolicy** out) override;                                      \
    bool IsChangeable(const char* name) override;                                                                      \
    bool IsFromPolicy(const char* name) override;                                                                      \
    int GetString(const char* name, char** value) override;                                                            \
    unsigned GetDWORD(const char* name) override;                                                                      \
    int GetBinary(const char* name, OctetString** value) override;                                                     \
    int SetString(const char* name, const char* value) override;                                                       \
    int SetDWORD(const char* name, unsigned value) override;                                                           \
    int SetBinary(const char* name, OctetString* value) override;                                                      \
    int DeleteSubkey(const char* name) override;                                                                       \
    int SetConfigPath(const char* file) override;                                                                      \
    int RegisterCallback(ZELK::ISignal* callback) override;                                                            \
    /* ZELK_IPolicy_Internal */                                                                                        \
    int SetWriteThrough(signed char flag) override;                                                                    \
    int BindTemplate(const char* path) override;                                                                       \
    int GetDWORD(const char* name, unsigned* value) override;                                                          \
    int AddSignal(ZELK::ISignal* signal) override;                                                                     \
    int RemoveSignal(ZELK::ISignal* signal) override;
