// Starts the installed module on the GUI thread and has the stand-in client switch it on.
#include <QDir>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <keel_anr.h>
#include <keel_standin.h>

int main(int argc, char **argv)
{
    QGuiApplication application(argc, argv);
    QTemporaryDir dir;
    standin::tally::setCloudConfiguration({{"lag_sw", "1"}});
    KeelAnr::start(dir.path());
    standin::tally::waitUntilIdle();
    KeelAnr::stop();
    const bool started = KeelAnr::startTime > 0 &&
                         QDir(dir.filePath("keel-anr-cache")).exists("anr_config.ini") &&
                         !standin::tally::eventsNamed("keel_orlaanr_init").empty();
    return started ? 0 : 1;
}
