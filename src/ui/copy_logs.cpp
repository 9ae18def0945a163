// The diagnostic text of the copy-logs button: status, error and the tails of
// the previous and the current log file, redacted, put on the clipboard.
#include <FL/Fl.H>
#include <FL/Fl_Button.H>

#include <string>
#include <system_error>

#include "log/redaction.h"
#include "platform/files.h"
#include "ui/bootstrap_window.h"
#include "ui/bootstrap_window_view.h"

namespace zarvo {
namespace {

constexpr std::size_t kTailLimit = 65536;

void appendTail(std::string& text, const std::filesystem::path& file) {
    platform::FileTail tail;
    try {
        tail = platform::readFileTail(file, kTailLimit);
    } catch (const std::system_error&) {
        return;  // a log that cannot be read only shortens the text
    }
    std::string& bytes = tail.bytes;
    if (tail.size > kTailLimit && !bytes.empty()) {
        // Start at a line boundary rather than in the middle of a line.
        const std::size_t lineEnd = bytes.find('\n');
        if (lineEnd != std::string::npos) {
            bytes.erase(0, lineEnd + 1);
        }
    }
    text += '\n';
    text += platform::pathToUtf8(file.filename());
    text += '\n';
    text += bytes;
}

}  // namespace

std::string BootstrapWindow::logReport() const {
    const View& view = *view_;
    std::string text = "Zarvo Launcher / bootstrap\n";
    text += view.statusText;
    text += '\n';
    if (!view.errorText.empty()) {
        text += view.errorText;
        text += '\n';
    }
    // Without a log path (a failure before the log was opened) there is
    // nothing to read; ".1" alone would name a file in the current folder.
    if (!view.logPath.empty()) {
        std::filesystem::path previous = view.logPath;
        previous += ".1";
        appendTail(text, previous);
        appendTail(text, view.logPath);
    }
    return redactText(text);
}

void BootstrapWindow::copyLogs() {
    const std::string text = logReport();
    Fl::copy(text.data(), static_cast<int>(text.size()), 1);
    view_->copyButton->copy_label("Логи скопированы");
    view_->copyButton->redraw();
}

}  // namespace zarvo
