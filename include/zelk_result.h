// Result codes shared by every deliverable. Every operation returns a signed
// 32-bit code: 0 success, 1 nothing done / not found / already so, negative failure.
#pragma once

#include <cstdint>

typedef int32_t HRESULT;

#define ZELK_RC(x) static_cast<HRESULT>(static_cast<uint32_t>(x))

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = ZELK_RC(0x80004005);
constexpr HRESULT E_NOTIMPL = ZELK_RC(0x80000001);
constexpr HRESULT E_INVALIDARG = ZELK_RC(0x80000003);
constexpr HRESULT E_NOINTERFACE = ZELK_RC(0x80000004);
constexpr HRESULT E_ABORT = ZELK_RC(0x80000007);
constexpr HRESULT E_POINTER = ZELK_RC(0x80040003);
constexpr HRESULT E_ACCESSDENIED = ZELK_RC(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = ZELK_RC(0x8007000E);
constexpr HRESULT E_BROKEN_PIPE = ZELK_RC(0x8007006D);
constexpr HRESULT ZELK_E_API_NOARG = ZELK_RC(0xA0000002);
constexpr HRESULT ZELK_E_API_NOTFOUND = ZELK_RC(0xA0000200);
constexpr HRESULT ZELK_E_UNLOAD = ZELK_RC(0xA0800202);

constexpr bool SUCCEEDED(HRESULT hr)
{
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr)
{
    return hr < 0;
}
