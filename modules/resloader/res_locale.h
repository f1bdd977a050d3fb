// The locale: the text form ll_CC, the policy's "Locale" and the user's
// environment.
#pragma once

#include <string>

#include "zelk_resloader.h"

namespace kestrin::resloader {

// Splits "ll_CC", "ll_CC.*", "ll_CC-*" or "ll_CC=*" into language and country.
// 0x80000003 for a NULL argument, 0x80004005 for any other text.
HRESULT SplitLocale(const char* text, ZELK_RES_TEXT* language, ZELK_RES_TEXT* country);

// The user's locale from the environment: the first non-empty of LC_ALL,
// LC_MESSAGES and LANG, without its "@modifier"; "" for none and for the
// "C" and "POSIX" locales (with or without a codeset). The process's own
// locale settings are neither read nor changed.
std::string EnvironmentLocale();

// "Locale" of policy "Common" when it splits, else the environment's locale.
HRESULT GetLocale(ZELK_RES_TEXT* language, ZELK_RES_TEXT* country);

}  // namespace kestrin::resloader
