// What the headers leave for this module to define and export: KeelAnr's assignments, the
// SDK's log-mode constants and the special members of the SDK's Windows configuration class.
#include "anr/keel_anr.h"
#include "keel.h"

KeelAnr &KeelAnr::operator=(const KeelAnr &) = default;
KeelAnr &KeelAnr::operator=(KeelAnr &&) = default;

const int Keel::LOG_OFF = 0;
const int Keel::LOG_CONSOLE = 1;
const int Keel::LOG_FILE = 2;

KeelWinConfig::KeelWinConfig() = default;
KeelWinConfig::KeelWinConfig(const KeelWinConfig &) = default;
KeelWinConfig::KeelWinConfig(KeelWinConfig &&) noexcept = default;
KeelWinConfig &KeelWinConfig::operator=(const KeelWinConfig &) = default;
KeelWinConfig &KeelWinConfig::operator=(KeelWinConfig &&) noexcept = default;
KeelWinConfig::~KeelWinConfig() = default;
