// SPDX-License-Identifier: MIT
#include <fieldkit/Version.h>

const char* fieldkit_version()
{
    return FIELDKIT_VERSION;
}
