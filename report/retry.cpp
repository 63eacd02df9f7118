// Foundation version: the retry of cached reports arrives with the reports work.
#include "anr/keel_anr.h"

void KeelAnr::retryFailedCache() {}
