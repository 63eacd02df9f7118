// Stand-in for the SDK core library: one process-wide Keel object.
#include "keel_standin.h"
#include "keel.h"

namespace
{

class StandInKeel final : public Keel
{
public:
    std::string sdkVersion() const override { return "standin"; }
};

} // namespace

Keel::~Keel() = default;

Keel *Keel::instance()
{
    static auto *keel = new StandInKeel; // lives as long as the process
    return keel;
}

namespace standin::keel
{

void fireInitEvent()
{
    const auto callback = Keel::instance()->initEventCallback;
    if (callback)
        callback();
}

void fireBackgroundState(bool active)
{
    const auto callback = Keel::instance()->backgroundStateCallback;
    if (callback)
        callback(active);
}

} // namespace standin::keel
