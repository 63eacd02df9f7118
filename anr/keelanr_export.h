#pragma once

#include <QtGlobal>

// KEELANR_STATIC: the module linked in from its static libraries (the tests), where
// Windows must not look for the facade in a DLL.
#if defined(KEELANR_LIBRARY)
#define KEELANR_EXPORT Q_DECL_EXPORT
#elif defined(KEELANR_STATIC)
#define KEELANR_EXPORT
#else
#define KEELANR_EXPORT Q_DECL_IMPORT
#endif
