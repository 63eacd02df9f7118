// One run of a host against a cache directory, for checking "anr_config.ini" between builds
// against different Qt versions: "<dir> <result> [key value]..." starts the module on <dir>
// with the given map delivered (none: an empty map, so only the cached file counts) and
// writes three lines to <result>: the Qt major version, the switch the handler read from the
// file (from its log line) and testsupport::appliedState().
#include "anr/keel_anr.h"
#include "support/module_fixture.h"

#include <QFile>
#include <QGuiApplication>

int main(int argc, char **argv)
{
    if (argc < 3 || argc % 2 != 1)
        return 64;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    testsupport::Configuration delivered;
    for (int i = 3; i + 1 < argc; i += 2)
        delivered[argv[i]] = argv[i + 1];
    standin::log::enable();
    standin::tally::setCloudConfiguration(delivered);
    KeelAnr::start(QString::fromLocal8Bit(argv[1]));
    standin::tally::waitUntilIdle();

    const std::string logged = "Keel ANR getCloudConfiguration from cache isOpen = ";
    std::string cachedSwitch = "<not logged>";
    for (const std::string &line : standin::log::lines())
        if (line.find(logged) != std::string::npos)
            cachedSwitch = line.substr(line.find(logged) + logged.size());
    const QByteArray result = QByteArray::number(QT_VERSION_MAJOR) + "\n" + cachedSwitch.c_str() +
                              "\n" + testsupport::appliedState().c_str();
    QFile file(argv[2]);
    const bool written = file.open(QIODevice::WriteOnly) && file.write(result) == result.size();
    KeelAnr::stop();
    return written ? 0 : 2;
}
