// ldns for C++. Without a stdbool.h it recognises, ldns defines bool, true and false as macros,
// which break the standard library headers that follow; in C++ they are keywords.
#pragma once

#include <ldns/ldns.h>
#include <stdbool.h>  // NOLINT(modernize-deprecated-headers)

#undef bool
#undef true
#undef false
