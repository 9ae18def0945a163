#include "app/command_line.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "build_config.h"
#include "trust/error.h"

namespace zarvo {
namespace {

constexpr std::array<const char*, 10> kFlags = {
    "--debug",   "--headless",      "--no-launch", "--no-self-update", "--allow-loopback-http",
    "--preview", "--preview-error", "--help",      "--version",        "--uninstall",
};

// Options with a value, the self-replacement's included.
constexpr std::array<const char*, 9> kValueOptions = {
    "--screenshot", "--data-dir", "--service-url", "--code-trust", "--self-replace",
    "--parent",     "--self-hash", "--self-entry", "--bundle-root",
};

template <std::size_t N>
bool isOneOf(const std::array<const char*, N>& names, const std::string& argument) {
    return std::any_of(names.begin(), names.end(), [&](const char* name) { return argument == name; });
}

}  // namespace

bool wantsErrorWindow(const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--headless" || arguments[i] == "--self-replace") {
            return false;
        }
    }
    return true;
}

std::map<std::string, std::string> parseOptions(const std::vector<std::string>& arguments) {
    std::map<std::string, std::string> options;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (isOneOf(kFlags, argument)) {
            options[argument] = "true";
        } else if (i + 1 == arguments.size()) {
            throw Error("LOCAL_ERROR", "Missing argument: " + argument);
        } else {
            options[argument] = arguments[i + 1];
            ++i;
        }
    }
    return options;
}

std::vector<std::string> unknownOptionNames(const std::map<std::string, std::string>& options) {
    std::vector<std::string> unknown;
    for (const auto& [name, value] : options) {
        if (!isOneOf(kFlags, name) && !isOneOf(kValueOptions, name)) {
            unknown.push_back(name);
        }
    }
    return unknown;
}

std::string unknownOptionsWarning(const std::vector<std::string>& names) {
    std::string text = names.size() == 1 ? "Неизвестный параметр пропущен: " : "Неизвестные параметры пропущены: ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : ", ") + names[i];
    }
    return text;
}

std::string usageText() {
    return std::string("ZarvoLauncher ") + programVersion() +
           " — престартер лаунчера: проверяет обновления, устанавливает их и запускает лаунчер.\n"
           "\n"
           "Использование:\n"
           "  ZarvoLauncher [--headless] [--data-dir ПАПКА] [--service-url АДРЕС] [--code-trust ФАЙЛ]\n"
           "                [--allow-loopback-http] [--no-launch] [--no-self-update] [--debug]\n"
           "  ZarvoLauncher --preview [--preview-error] [--screenshot ФАЙЛ]\n"
           "  ZarvoLauncher --uninstall [--headless] [--data-dir ПАПКА]\n"
           "  ZarvoLauncher --help | --version\n"
           "\n"
           "Режимы:\n"
           "  обычный              обновление и запуск с окном прогресса; закрытие окна отменяет обновление\n"
           "  --headless           без окна: этапы выводятся в стандартный вывод, ошибка — в стандартный поток ошибок\n"
           "  --preview            только показать окно, без обновления и без сети\n"
           "  --uninstall          удалить программу: папку данных, ярлык в меню и запись\n"
           "                       в списке установленных программ (Windows); отказ, пока\n"
           "                       запущены обновление, лаунчер или игра\n"
           "  --self-replace       служебный: так престартер запускает свою новую версию\n"
           "\n"
           "Параметры:\n"
           "  --data-dir ПАПКА       папка данных (по умолчанию папка ZarvoLauncher в данных пользователя)\n"
           "  --service-url АДРЕС    сервер обновлений (по умолчанию " +
           builtInServiceUrl() +
           ")\n"
           "  --code-trust ФАЙЛ      файл доверия с ключом подписи обновлений вместо встроенного ключа\n"
           "  --allow-loopback-http  разрешить HTTP без шифрования к локальному адресу (127.0.0.1, ::1, localhost)\n"
           "  --no-launch            подготовить обновление, но ничего не запускать\n"
           "  --no-self-update       не обновлять сам престартер и не передавать запуск установленной копии\n"
           "  --debug                подробный журнал\n"
           "  --preview-error        с --preview: показать панель ошибки\n"
           "  --screenshot ФАЙЛ      с --preview: сохранить снимок окна (BMP) и выйти\n"
           "  --help                 эта справка\n"
           "  --version              версия программы\n"
           "\n"
           "Неизвестные параметры пропускаются с предупреждением в журнале (и в стандартном потоке ошибок\n"
           "при --headless). Журнал: logs/bootstrap.log в папке данных.\n"
           "\n"
           "Коды завершения:\n"
           "  0  обновление и запуск прошли успешно; окно предпросмотра закрыто или снимок сохранён;\n"
           "     выведена справка или версия; программа удалена\n"
           "  1  ошибка: её текст в журнале и в окне ошибки (при --headless, а также при ошибке\n"
           "     в командной строке — в стандартном потоке ошибок)\n";
}

const char* programVersion() noexcept {
    // Read through a volatile pointer, so the whole record, prefix included,
    // stays in the program's bytes, where the release tool looks for it.
    static const char* volatile record = build::kVersionRecord;
    return record + std::strlen(build::kVersionPrefix);
}

const char* builtInServiceUrl() noexcept {
    static const char* volatile record = build::kServiceUrlRecord;
    return record + std::strlen(build::kServiceUrlPrefix);
}

const char* builtInTrustKey() noexcept {
    static const char* volatile record = build::kTrustKeyRecord;
    return record + std::strlen(build::kTrustKeyPrefix);
}

}  // namespace zarvo
