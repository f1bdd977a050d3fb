// The in-memory scrambler: a session key that exists only in this object and
// the crypto library's cipher over it.
#include <cstring>
#include <cwchar>

#include "core_bindings.h"
#include "core_helpers.h"
#include "qev_crypt.h"
#include "qev_random.h"
#include "zelk_alloc.h"
#include "zelk_object.h"
#include "zelk_trace.h"

namespace kestrin::base {
namespace {

constexpr AlgEnc kDefaultAlgorithm = 6;
constexpr AlgMode kDefaultMode = 0;
constexpr uintptr_t kPaddingPkcs = SEC_PADDING_PKCS;

class CScrambler : public IScrambler, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CScrambler)
    ZELK_INTMAP_ENTRY(IScrambler)
    ZELK_END_INTMAP()

    CScrambler(AlgEnc algorithm, AlgMode mode) : m_algorithm(algorithm), m_mode(mode) {}

    ~CScrambler() override
    {
        if (m_key != nullptr) {
            if (m_key->key != nullptr)
                sec_memzero(m_key->key, (m_key->bits + 7) / 8);
            CommonType(SEC_TYPE_KeyInfo)->free(m_key);
        }
        OctetString_Free(m_iv);
    }

    HRESULT GenerateKey(unsigned int bits) override
    {
        if (m_key != nullptr)
            return E_FAIL;
        auto* crypt = ZELK_ApiCast<SEC_CRYPT_TABLE>(fptr__crypt);
        auto* random = ZELK_ApiCast<SEC_RANDOM_TABLE>(fptr__random);
        if (crypt == nullptr || random == nullptr)
            return E_FAIL;
        unsigned long block = 16;
        if (FAILED(aux_cipher_blocksize(m_algorithm, &block)))
            block = 0;
        unsigned long keyBits = 0;
        if (FAILED(aux_cipher_keysize(m_algorithm, &keyBits)) || keyBits == 0)
            keyBits = bits;
        SECAttribute algorithm {};
        algorithm.id = SEC_ATTR_ALGORITHM;
        algorithm.value = reinterpret_cast<void*>(static_cast<uintptr_t>(m_algorithm));
        SECAttribute length {};
        length.id = SEC_ATTR_KEY_BITS;
        length.value = reinterpret_cast<void*>(static_cast<uintptr_t>(keyBits));
        length.next = &algorithm;
        KeyInfo* key = nullptr;
        HRESULT hr = crypt->gen_key(&length, &key);
        if (FAILED(hr))
            return hr;
        if (m_mode == SEC_MODE_CBC || m_mode == SEC_MODE_CFB) {
            OctetString* iv = nullptr;
            hr = random->random(0, block, SEC_RANDOM_BYTES, &iv);
            if (FAILED(hr)) {
                CommonType(SEC_TYPE_KeyInfo)->free(key);
                return hr;
            }
            m_iv = iv;
            if (m_mode == SEC_MODE_CFB)
                m_ivLength = block;
        }
        m_key = key;
        return S_OK;
    }

    HRESULT ScrambleString(const wchar_t* text, OctetString** out) override
    {
        if (text == nullptr || out == nullptr)
            return E_POINTER;
        OctetString in {std::wcslen(text) * sizeof(wchar_t),
                        const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(text))};
        return Scramble(&in, out);
    }

    HRESULT UnscrambleString(OctetString* in, wchar_t** out) override
    {
        if (in == nullptr || out == nullptr)
            return E_POINTER;
        if (m_key == nullptr)
            return E_FAIL;
        OctetString* plain = nullptr;
        HRESULT hr = UnScramble(in, &plain);
        if (FAILED(hr))
            return hr;
        auto* text = static_cast<wchar_t*>(sec_malloc(plain->length + sizeof(wchar_t)));
        if (text == nullptr) {
            OctetString_Free(plain);
            return E_OUTOFMEMORY;
        }
        std::memcpy(text, plain->data, plain->length);
        std::memset(reinterpret_cast<unsigned char*>(text) + plain->length, 0, sizeof(wchar_t));
        OctetString_Free(plain);
        *out = text;
        return S_OK;
    }

    HRESULT Scramble(OctetString* in, OctetString** out) override { return Run(in, out, false); }
    HRESULT UnScramble(OctetString* in, OctetString** out) override { return Run(in, out, true); }

private:
    HRESULT Run(const OctetString* in, OctetString** out, bool decrypt)
    {
        if (m_key == nullptr)
            return E_FAIL;
        if (in == nullptr || out == nullptr || (in->data == nullptr && in->length != 0))
            return E_POINTER;
        auto* crypt = ZELK_ApiCast<SEC_CRYPT_TABLE>(fptr__crypt);
        SECAttribute chain[7] = {};
        size_t n = 0;
        auto add = [&](uint32_t id, void* value) {
            chain[n].id = id;
            chain[n].value = value;
            if (n > 0)
                chain[n - 1].next = &chain[n];
            ++n;
        };
        add(SEC_ATTR_KEY, m_key);
        add(SEC_ATTR_ALGORITHM, reinterpret_cast<void*>(static_cast<uintptr_t>(m_algorithm)));
        add(SEC_ATTR_PADDING, reinterpret_cast<void*>(kPaddingPkcs));
        add(SEC_ATTR_MODE, reinterpret_cast<void*>(static_cast<uintptr_t>(m_mode)));
        if (decrypt)
            add(SEC_ATTR_DECRYPT, nullptr);
        if (m_iv != nullptr)
            add(SEC_ATTR_IV, m_iv);
        if (m_ivLength != 0)
            add(SEC_ATTR_IV_LENGTH, reinterpret_cast<void*>(static_cast<uintptr_t>(m_ivLength)));

        uint64_t size = 0;
        HRESULT hr = crypt->output_size(chain, in->length, &size);
        if (FAILED(hr))
            return E_FAIL;
        OctetString* result = nullptr;
        if (OctetString_Create(size == 0 ? 1 : size, &result) != 0)
            return E_OUTOFMEMORY;
        uint64_t length = result->length;
        hr = crypt->cipher(chain, in->data, in->length, result->data, &length);
        if (FAILED(hr)) {
            OctetString_Free(result);
            *out = nullptr;
            return E_FAIL;
        }
        result->length = length;
        *out = result;
        return S_OK;
    }

    KeyInfo* m_key = nullptr;
    AlgEnc m_algorithm;
    AlgMode m_mode;
    OctetString* m_iv = nullptr;
    uint64_t m_ivLength = 0;
};

HRESULT NewScrambler(AlgEnc algorithm, AlgMode mode, unsigned int bits, IScrambler** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<CScrambler>* object = nullptr;
    HRESULT hr = CComObject<CScrambler>::CreateInstance(&object, algorithm, mode);
    if (FAILED(hr))
        return hr;
    object->AddRef();
    // A scrambler without a key would refuse every call; the caller learns why.
    hr = object->GenerateKey(bits);
    if (FAILED(hr)) {
        object->Release();
        return hr;
    }
    *out = object;
    return S_OK;
}

}  // namespace

HRESULT GenerateScrambler(unsigned int bits, IScrambler** out)
{
    return NewScrambler(kDefaultAlgorithm, kDefaultMode, bits, out);
}

HRESULT GenerateScramblerEx(AlgEnc algorithm, AlgMode mode, unsigned int bits, IScrambler** out)
{
    return NewScrambler(algorithm, mode, bits, out);
}

}  // namespace kestrin::base
