#include "simulator.h"

#include "DFU.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <utility>

namespace simulator {

bool use = false;

QString dfu_util_path(QString name) {
    // An installed program finds the script among its data; a build tree runs it from the sources.
    if (QCoreApplication::instance()) {
        const QString installed = QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                                  QStringLiteral("/../share/veltaro-upgrade/") + name);
        if (QFileInfo::exists(installed))
            return installed;
    }
    static const QString directory = QStringLiteral(UPGRADE_SIMULATOR_DIR);
    return directory + QStringLiteral("/") + name;
}

void setup_for_simulated_dfu_util(Setup setup) {
    // Both flash reads share one word; the script tells them apart by the "-s" value.
    static const std::pair<DFU::CmdID, const char*> words[] = {
        {DFU::list, "list"},
        {DFU::version, "version"},
        {DFU::upload_OTP, "upload_OTP"},
        {DFU::upload_FW_info, "upload_FW"},
        {DFU::upload_FW, "upload_FW"},
        {DFU::download_FW, "download_FW"},
        {DFU::setup_prepared_config, "setup_prepared_config"},
    };
    for (const auto& [id, word] : words) {
        DFU::Command& command = DFU::commands[id];
        command.program = dfu_util_path(QStringLiteral("dfu-util_simulator.sh"));
        QStringList arguments{QStringLiteral("--dfu-util-command"), QString::fromLatin1(word)};
        if (setup & fast_progress)
            arguments << QStringLiteral("--fast-progress");
        command.arguments = arguments + command.arguments;
    }
}

int sim_setup_prepared_config(QString config) {
    const DFU::Result result = DFU::run_command(DFU::setup_prepared_config, {config});
    if (result.code != 0)
        qInfo() << "Failed to setup simulation config " << config << "with code" << result.code;
    return result.code;
}

} // namespace simulator
