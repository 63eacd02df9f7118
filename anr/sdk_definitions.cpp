// What the SDK's header leaves for this module to define and export: the log-mode constants
// and the special members of the SDK's Windows configuration class.
#include "keel.h"

const int Keel::LOG_OFF = 0;
const int Keel::LOG_CONSOLE = 1;
const int Keel::LOG_FILE = 2;

KeelWinConfig::KeelWinConfig() = default;
KeelWinConfig::KeelWinConfig(const KeelWinConfig &) = default;
KeelWinConfig::KeelWinConfig(KeelWinConfig &&) noexcept = default;
KeelWinConfig &KeelWinConfig::operator=(const KeelWinConfig &) = default;
KeelWinConfig &KeelWinConfig::operator=(KeelWinConfig &&) noexcept = default;
KeelWinConfig::~KeelWinConfig() = default;
