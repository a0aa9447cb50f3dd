#include "Daemon/MessageListeners/TempFolder.hpp"

#include "Daemon/MessageListeners/SendFileListener.hpp"
#include "Daemon/MessageListeners/SignListener.hpp"
#include "ListenerTestSupport.hpp"

namespace Quillmark::Tests {
namespace {

using Daemon::MessageListeners::SendFileListener;
using Daemon::MessageListeners::SignListener;
using Daemon::MessageListeners::TempFolder;

// Names that would lead out of the folder, or to something else than they say, on one system
// or the other. Each is refused on both, so both daemons answer them alike.
const std::string Refused[] = {
    "..", "../a.pdf", "sub/../../a.pdf", "sub/..", "/etc/passwd", "//server/share/a.pdf", "//?/C:/a.pdf",
    // Windows separators, UNC and device paths.
    "..\\a.pdf", "sub\\a.pdf", "\\a.pdf", "\\\\server\\share\\a.pdf", "\\\\?\\C:\\a.pdf", "\\\\.\\pipe\\quillmark",
    // Drives, relative to a drive's own folder or rooted, and streams of a file.
    "C:a.pdf", "C:\\a.pdf", "c:/a.pdf", "a.pdf:stream", "a.pdf::$DATA", "sub:x/a.pdf",
    // Windows drops trailing dots and blanks, so these would name another entry.
    "a.pdf.", "a.pdf ", "a.pdf. .", "...", "sub./a.pdf", "sub /a.pdf",
    // Devices, whatever the case and extension, and where in the name they stand.
    "CON", "nul", "NUL.pdf", "aux .pdf", "Prn.tar.gz", "COM1", "com9.pdf", "LPT0", "lpt\xC2\xB9.pdf", "sub/nul",
    "CONIN$", "conout$.txt", "CLOCK$",
    std::string("a\0b.pdf", 7),
};

// Names that stay inside the folder and mean the same everywhere.
const std::string Accepted[] = {
    "", "a.pdf", "sub/a.pdf", "./a.pdf", "sub//a.pdf", ".hidden", "a..b.pdf", "my doc \"1\".pdf", " leading.pdf",
    "t\xC3\xA0i li\xE1\xBB\x87u.pdf", "console.pdf", "con tract.pdf", "nul_x.pdf", "COM10.pdf", "LPT.pdf", "comx.pdf",
    "auxiliary", "CONOUT.txt",
};

TEST(TempFolderNames, RefusedAndAcceptedAlikeOnEverySystem) {
    for (const auto& name : Refused) EXPECT_FALSE(TempFolder::IsSafeName(name)) << name;
    for (const auto& name : Accepted) EXPECT_TRUE(TempFolder::IsSafeName(name)) << name;
}

// The name as a JSON string's content.
std::string Escaped(std::string_view name) {
    std::string text;
    for (char c : name) {
        if (c == '\\' || c == '"') text += '\\';
        text += c;
    }
    return text;
}

class TempFolderNameTest : public TempFolderTest {};

// Beside a real file, its Windows aliases are neither served nor handed to the GUI.
TEST_F(TempFolderNameTest, AliasesOfAFileAreNeitherServedNorSigned) {
    WriteFile(Folder() / "doc.pdf", "document");
    SendFileListener download;
    SignListener sign{QUILLMARK_STANDINS_DIR};
    const std::string aliases[] = {"doc.pdf.", "doc.pdf ", "doc.pdf::$DATA", "DOC.PDF. ", ".\\doc.pdf", "nul.pdf"};
    for (const auto& alias : aliases) {
        EXPECT_EQ(Answer(download, R"({"action":0,"fileName":")" + Escaped(alias) + R"("})"),
                  "failure: File " + alias + " does not exist");
        EXPECT_EQ(Answer(sign, R"({"pdfFileName":")" + Escaped(alias) + R"("})"),
                  "failure: Invalid file name Arg_ParamName_Name, pdfFileName");
    }
    EXPECT_EQ(Answer(download, R"({"action":0,"fileName":"doc.pdf"})"), "OK");
}

}  // namespace
}  // namespace Quillmark::Tests
