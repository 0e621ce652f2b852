// SPDX-License-Identifier: MIT

// What the library exports. It is built with hidden visibility, so a shared
// liblexspot exports exactly the declarations marked LEXSPOT_API: the
// operations, records and process-wide state its headers document. Anything
// else, such as a module's own helpers and storage, stays inside the
// library. In a static build the marking changes nothing for the program
// that links it.
#pragma once

#define LEXSPOT_API __attribute__((visibility("default")))
