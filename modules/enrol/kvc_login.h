// The questions of an embedded enrolment: KVC_LoginData (a message and the
// items to fill in) and KVC_LoginItem (one value, bound to a server input
// field or made by the provider itself).
#pragma once

#include <vector>

#include "zelk_kestrin.h"
#include "zelk_kvc.h"
#include "zelk_object.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"
#include "zelk_text.h"

namespace kestrin::enrol {

class KVC_LoginItem : public KVC_ILoginItem, public CFactoryImpl<KVC_LoginItem>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(KVC_LoginItem)
    ZELK_INTMAP_ENTRY(KVC_ILoginItem)
    ZELK_END_INTMAP()

    // An item for a server input field: plain for the field types "input"
    // and "text", hidden for every other type.
    static HRESULT New(KVC_LoginItem** out, IKestrinInputField* field);
    // An item without field.
    static HRESULT New(KVC_LoginItem** out, int32_t type, const char* label, const char* value);

    KVC_LoginItem() = default;
    ~KVC_LoginItem() override;

    int32_t getItemType() override { return m_type; }
    const char* getItemLabel() override { return m_label; }
    const char* getItemValue() override { return m_value; }
    HRESULT setItemValue(const char* value) override;

private:
    static HRESULT Make(KVC_LoginItem** out);

    ZELK_PTR(IKestrinInputField) m_field;
    int32_t m_type = 0;
    StringT<char> m_value;
    StringT<char> m_label;
};

class KVC_LoginData : public KVC_ILoginData, public CFactoryImpl<KVC_LoginData>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(KVC_LoginData)
    ZELK_INTMAP_ENTRY(KVC_ILoginData)
    ZELK_END_INTMAP()

    // One item per input field of the client.
    static HRESULT New(KVC_LoginData** out, IKestrin* client);
    // Two items without values: (0, "Username") and (1, "Password").
    static HRESULT New_UsernamePassword(KVC_LoginData** out);

    KVC_LoginData() = default;
    ~KVC_LoginData() override;

    HRESULT login() override;
    const char* getMessage() override { return m_message; }
    unsigned long getItemCount() override { return static_cast<unsigned long>(m_items.size()); }
    HRESULT getItem(unsigned long index, KVC_ILoginItem** out) override;

    // Waits for the answer (-1: without limit); true when answered.
    virtual bool wait(int milliseconds) { return m_answered.Wait(milliseconds); }
    virtual HRESULT cancel();
    // New wide copies (library allocator) of the values of items 0, 1 and 2;
    // each out-pointer optional, NULL when there is no such item.
    virtual HRESULT GetValues(wchar_t** first, wchar_t** second, wchar_t** third);
    virtual HRESULT SetMessageW(const wchar_t* message);

private:
    static HRESULT Make(KVC_LoginData** out);
    HRESULT Add(KVC_LoginItem* item);

    ZELK::Event m_answered;
    StringT<char> m_message;
    std::vector<KVC_ILoginItem*> m_items;  // one reference each
};

}  // namespace kestrin::enrol
