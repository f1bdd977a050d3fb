// Result codes of the crypto library's PSE and token objects, as the PSEs,
// tokens and token objects of every deliverable answer them and their callers
// test them.
#pragma once

#include "zelk_result.h"

// PSE (component 0xA1E).
constexpr HRESULT E_PSE_NOARG = ZELK_RC(0xA1E0000B);           // a required out-pointer or name is missing
constexpr HRESULT E_PSE_BUFFERTOOSMALL = ZELK_RC(0xA1E00014);  // the caller's output buffer is too small
constexpr HRESULT E_PSE_NOTSUPPORTED = ZELK_RC(0xA1E00015);    // not offered by this PSE, or it cannot be opened
constexpr HRESULT E_PSE_CANCELLED = ZELK_RC(0xA1E00019);       // the user cancelled
constexpr HRESULT E_PSE_NOPSE = ZELK_RC(0xA1E00201);           // no PSE (yet), or a PSE name of no known kind
constexpr HRESULT E_PSE_NOTFOUND = ZELK_RC(0xA1E00202);        // the named slot, token or certificate is not there
constexpr HRESULT E_PSE_EXISTS = ZELK_RC(0xA1E00203);          // the PSE file exists already
constexpr HRESULT E_PSE_BADPASSWORD = ZELK_RC(0xA1E00204);     // the PSE's password is wrong
constexpr HRESULT E_PSE_NOTLOGGEDIN = ZELK_RC(0xA1E00205);     // the operation needs the PSE's password first
constexpr HRESULT E_PSE_NOTOKEN = ZELK_RC(0xA1E00206);         // no usable token for the policy
constexpr HRESULT E_PSE_CORRUPT = ZELK_RC(0xA1E00209);         // the PSE file cannot be read

// Tokens (component 0xA1D).
constexpr HRESULT E_TOKEN_NOKEY = ZELK_RC(0xA1D00101);       // no token, or no private key for the key identifier
constexpr HRESULT E_TOKEN_NOTFOUND = ZELK_RC(0xA1D00107);    // no token has that name or URI
constexpr HRESULT E_TOKEN_OPFAILED = ZELK_RC(0xA1D0010E);    // not exactly one object answered
constexpr HRESULT E_TOKEN_PINBLOCKED = ZELK_RC(0xA1D0011D);  // the card's PIN is blocked
constexpr HRESULT E_TOKEN_PINWRONG = ZELK_RC(0xA1D0012C);    // wrong PIN; bits 16 to 19 may carry the tries left
// The card is missing or cannot be used: the credential dialogue asks for the card.
constexpr HRESULT E_TOKEN_NOCARD = ZELK_RC(0xA1D0012D);
constexpr HRESULT E_TOKEN_CARDNOTUSABLE = ZELK_RC(0xA1D0012F);

// Common (component 0xA01).
constexpr HRESULT E_BUFFERTOOSMALL = ZELK_RC(0xA0100014);     // the caller's buffer is too small
constexpr HRESULT E_CERT_HASHMISMATCH = ZELK_RC(0xA0100020);  // the key's certificate has another hash
// The same codes as containers of keys and certificates name them.
constexpr HRESULT E_COMMON_NOMEMORY = ZELK_RC(0xA010000D);     // no memory for a buffer
constexpr HRESULT E_COMMON_BUFFERTOOSMALL = E_BUFFERTOOSMALL;  // the caller's buffer is too small
constexpr HRESULT E_COMMON_INVALIDDATA = E_CERT_HASHMISMATCH;  // no content, or bytes that do not parse

// Slot-event waits answer as PKCS#11 C_WaitForSlotEvent does.
constexpr unsigned long SLOT_EVENT_DONT_BLOCK = 0x1;  // CKF_DONT_BLOCK
constexpr HRESULT SLOT_EVENT_NONE = 0x8;              // CKR_NO_EVENT
constexpr HRESULT SLOT_EVENT_CANCELLED = 0x190;       // CKR_CRYPTOKI_NOT_INITIALIZED
