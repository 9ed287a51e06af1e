#include <QApplication>
#include <QTranslator>
#include <memory>
#include <string>

#include "config_manager.h"
#include "console_log.h"
#include "main_window.h"
#include "resources_init.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    hv_init_resources();

    auto config_manager = std::make_shared<ConfigManager>("./config.json");
    config_manager->load();

    std::string lan;
    const nlohmann::json& document = config_manager->document_;
    if (document.is_object() && document.contains("lan") && document["lan"].is_string()) {
        lan = document["lan"].get<std::string>();
    }
    hv::log_info("Loaded language config is: ", lan);

    QTranslator translator;
    if (lan == "en") {
        translator.load(QStringLiteral(":/Translate_EN.qm"));
        app.installTranslator(&translator);
    }

    MainWindow main_window(config_manager);
    main_window.show();
    return app.exec();
}
