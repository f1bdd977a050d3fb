// Reader rows: what the reader manager knows of one smart-card reader and the
// card in it; the container "zelk.readersinfo" keeps one row per reader name
// (compared with case).
#pragma once

#include "gui_model_container.h"
#include "model_tokens.h"
#include "retained_text.h"
#include "zelk_object.h"
#include "zelk_ptr.h"

ZELK_DEFINE_GUID(IID_IGUIModelReader, 0xC7EC6F58, 0x7A46, 0x4FFA, 0xBC, 0xF8, 0xD1, 0x07, 0x7E, 0xA2, 0x9A, 0x88);
ZELK_DEFINE_GUID(IID_IGUIModelReaders, 0xE9E8A841, 0xB023, 0x43E7, 0xBE, 0x3D, 0xE5, 0xEF, 0x6E, 0xB8, 0xC8, 0x9A);
ZELK_DEFINE_GUID(IID_CModelReader, 0xF7A74087, 0x8B8C, 0x47E3, 0x89, 0xA1, 0x69, 0xBE, 0x72, 0xF4, 0x06, 0x5C);
ZELK_DEFINE_GUID(IID_CModelReaders, 0x930ADCEA, 0x44E3, 0x49A7, 0x8A, 0x1C, 0x2C, 0x1E, 0x5B, 0x2C, 0xD8, 0x97);

namespace ZELK::PSESVC {

// Texts owned by the row.
class IGUIModelReader : public IGUIModel {
public:
    static const GUID& GetIID() { return IID_IGUIModelReader; }

    virtual const char* GetReaderName() = 0;
    virtual const char* GetAtr() = 0;
    virtual const char* GetCardName() = 0;
    virtual const char* GetCardProvider() = 0;
    virtual const char* GetCardType() = 0;
    virtual const char* GetCardSerialNumber() = 0;
    virtual const char* GetConnectionType() = 0;
};

class IGUIModelReaders : public IGUIModelContainer {
public:
    static const GUID& GetIID() { return IID_IGUIModelReaders; }
};

// Every setter stores its text (NULL empties it) and advances the revision,
// even when nothing changed. A replaced text stays readable while the row lives.
class CModelReader : public CGUIModel<IGUIModelReader>, public CFactoryImpl<CModelReader>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelReader)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelReader)
    ZELK_INTMAP_ENTRY(IGUIModelReader)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelReader)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelReader; }

    const char* GetReaderName() override { return Read(m_readerName); }
    const char* GetAtr() override { return Read(m_atr); }
    const char* GetCardName() override { return Read(m_cardName); }
    const char* GetCardProvider() override { return Read(m_cardProvider); }
    const char* GetCardType() override { return Read(m_cardType); }
    const char* GetCardSerialNumber() override { return Read(m_cardSerial); }
    const char* GetConnectionType() override { return Read(m_connection); }

    // The token row of the card, with a reference (NULL when none); 0.
    virtual HRESULT GetTokenInfo(CModelToken** out)
    {
        if (out == nullptr)
            return E_POINTER;
        CriticalCodeSection lock(GetCriticalSection());
        *out = m_token;
        if (*out != nullptr)
            static_cast<IGUIModelToken*>(*out)->AddRef();
        return S_OK;
    }
    virtual HRESULT SetReaderName(const char* text) { return Write(m_readerName, text); }
    virtual HRESULT SetAtr(const char* text) { return Write(m_atr, text); }
    virtual HRESULT SetCardName(const char* text) { return Write(m_cardName, text); }
    virtual HRESULT SetCardProvider(const char* text) { return Write(m_cardProvider, text); }
    virtual HRESULT SetCardType(const char* text) { return Write(m_cardType, text); }
    virtual HRESULT SetCardSerialNumber(const char* text) { return Write(m_cardSerial, text); }
    virtual HRESULT SetTokenInfo(CModelToken* token)
    {
        if (token != nullptr)
            static_cast<IGUIModelToken*>(token)->AddRef();
        CModelToken* old = nullptr;
        {
            CriticalCodeSection lock(GetCriticalSection());
            old = m_token;
            m_token = token;
        }
        if (old != nullptr)
            static_cast<IGUIModelToken*>(old)->Release();
        NextRevision();
        return S_OK;
    }
    virtual HRESULT SetConnectionInfo(const char* text) { return Write(m_connection, text); }

    ~CModelReader() override
    {
        if (m_token != nullptr)
            static_cast<IGUIModelToken*>(m_token)->Release();
    }

private:
    const char* Read(RetainedText& field)
    {
        CriticalCodeSection lock(GetCriticalSection());
        return field.Get();
    }
    HRESULT Write(RetainedText& field, const char* text)
    {
        {
            CriticalCodeSection lock(GetCriticalSection());
            field.Set(text);
        }
        NextRevision();
        return S_OK;
    }

    RetainedText m_readerName;
    RetainedText m_atr;
    RetainedText m_cardName;
    RetainedText m_cardProvider;
    RetainedText m_cardType;
    RetainedText m_cardSerial;
    RetainedText m_connection;
    CModelToken* m_token = nullptr;
};

// The rows are changed under the revision lock; listeners are told after it.
class CModelReaders : public CGUIModelContainer<IGUIModelReaders, CModelReader>,
                      public CSingletonFactoryImpl<CModelReaders>,
                      public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelReaders)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelReaders)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelReaders)
    ZELK_INTMAP_ENTRY(IGUIModelReaders)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelContainer, IGUIModelReaders)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelReaders; }

    // The row of that name, else a new row appended; `out` may be NULL.
    virtual HRESULT AddReader(const char* name, CModelReader** out)
    {
        if (out != nullptr)
            *out = nullptr;
        if (name == nullptr)
            return E_INVALIDARG;
        CModelReader* row = nullptr;
        bool added = false;
        {
            CriticalCodeSection lock(GetCriticalSection());
            row = Find(name);
            if (row == nullptr) {
                CComObject<CModelReader>* fresh = nullptr;
                HRESULT hr = CComObject<CModelReader>::CreateInstance(&fresh);
                if (FAILED(hr))
                    return hr;
                fresh->AddRef();
                fresh->SetReaderName(name);
                hr = m_elements.Add(fresh);
                fresh->Release();
                if (FAILED(hr))
                    return hr;
                row = fresh;
                added = true;
            }
            if (out != nullptr) {
                row->AddRef();
                *out = row;
            }
        }
        if (added)
            NextRevision();
        return S_OK;
    }
    // Removes the first row of that name.
    virtual HRESULT DelReader(const char* name)
    {
        bool removed = false;
        {
            CriticalCodeSection lock(GetCriticalSection());
            for (uint64_t i = 0; i < m_elements.Count(); ++i) {
                if (name != nullptr && String_Compare(m_elements[i]->GetReaderName(), name) == 0) {
                    m_elements.Delete(i);
                    removed = true;
                    break;
                }
            }
        }
        if (removed)
            NextRevision();
        return S_OK;
    }
    // 1 (and NULL) when no row has that name.
    virtual HRESULT GetReader(const char* name, CModelReader** out)
    {
        if (out == nullptr)
            return E_POINTER;
        CriticalCodeSection lock(GetCriticalSection());
        *out = Find(name);
        if (*out == nullptr)
            return S_FALSE;
        (*out)->AddRef();
        return S_OK;
    }

private:
    CModelReader* Find(const char* name)
    {
        for (uint64_t i = 0; i < m_elements.Count(); ++i)
            if (name != nullptr && String_Compare(m_elements[i]->GetReaderName(), name) == 0)
                return m_elements[i];
        return nullptr;
    }
};

}  // namespace ZELK::PSESVC
