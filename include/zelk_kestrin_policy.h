// The client-policy downloader of module "zelkkvlogin" (class
// "zelk.kvlogin.policy") and the notification call-back a host may install to
// show its messages.
#pragma once

#include "qev_values.h"
#include "zelk_guid.h"
#include "zelk_result.h"
#include "zelk_unknown.h"

inline constexpr const char* ZELK_KESTRIN_POLICY_CLASS = "zelk.kvlogin.policy";

ZELK_DEFINE_GUID(IID_IKestrinPolicy, 0x24A11980, 0x4475, 0x423B, 0xBE, 0x74, 0xE4, 0x74, 0x8B, 0x3A, 0xA7, 0x68);
ZELK_DEFINE_GUID(IID_IKestrinServiceNotification, 0x2F2CE084, 0x572D, 0x4A5F, 0x9C, 0x4B, 0x1C, 0xA3, 0x9C, 0xBA, 0x8D,
                 0xCF);

// Implemented by a host that shows the downloader's messages.
class IKestrinServiceNotification : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IKestrinServiceNotification; }

    enum : unsigned { KIND_ERROR = 1, KIND_INFORMATION = 3 };

    // `text` is localised and belongs to the caller for the call only; the
    // result is not read.
    virtual HRESULT Notify(unsigned kind, const wchar_t* text) = 0;
};

class IKestrinPolicy : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IKestrinPolicy; }

    // Holds `callback` in place of the previous one; NULL removes it.
    virtual HRESULT SetNotificationCallback(IKestrinServiceNotification* callback) = 0;
    // Fetches the document at `url` and pushes it below `group` when it
    // differs from the last one pushed: 1 nothing to do (no URL, unchanged),
    // 0 pushed, negative on failure.
    virtual HRESULT DownloadPolicy(const char* url, unsigned int type, const char* group) = 0;
    // Pushes a document handed over in memory; the caller keeps it.
    virtual HRESULT ImportPolicy(const OctetString* document, unsigned int type, const char* group) = 0;
};
