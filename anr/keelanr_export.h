#pragma once

#include <QtGlobal>

#if defined(KEELANR_LIBRARY)
#define KEELANR_EXPORT Q_DECL_EXPORT
#else
#define KEELANR_EXPORT Q_DECL_IMPORT
#endif
