#include "Daemon/MessageListeners/SignListener.hpp"

#include "ListenerTestSupport.hpp"

namespace Quillmark::Tests {
namespace {

using Daemon::MessageListeners::SignListener;

class WindowsSignListenerTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        for (const char* name : {"QUILLMARK_STANDIN_OUTPUT_FILE", "QUILLMARK_STANDIN_OUTPUT", "QUILLMARK_STANDIN_REPEAT",
                                 "QUILLMARK_STANDIN_SLEEP_MS", "QUILLMARK_STANDIN_EXIT_CODE",
                                 "QUILLMARK_STANDIN_DONE_FILE"}) {
            SetVariable(name, std::nullopt);
        }
        SetVariable("QUILLMARK_STANDIN_ARGV_FILE", Platform::Path::FromFsPath(tmp_ / "argv"));
    }
    void TearDown() override {
        SetVariable("QUILLMARK_STANDIN_ARGV_FILE", std::nullopt);
        TempFolderTest::TearDown();
    }

    // What the GUI received after its program path, or nothing when it was not started.
    std::optional<std::vector<std::string>> GuiArguments() { return TakeRecordedArguments(tmp_ / "argv"); }

    std::string InFolder(std::string_view name) const { return Platform::Path::FromFsPath(Folder()) + "\\" + std::string(name); }

    SignListener listener{QUILLMARK_STANDINS_DIR};
};

TEST_F(WindowsSignListenerTest, TheGuiReceivesEachPathWhole) {
    fs::create_directories(Folder() / "sub");
    const struct {
        std::string request;
        std::vector<std::string> arguments;
    } cases[] = {
        {R"({"pdfFileName":"a.pdf"})", {InFolder("a.pdf")}},
        {R"({"pdfFileName":"my doc.pdf","signatureImageFileName":"my sig.png"})",
         {InFolder("my doc.pdf"), "--sig", InFolder("my sig.png")}},
        {R"({"pdfFileName":"t\u00E0i li\u1EC7u.pdf","signatureImageFileName":""})", {InFolder("t\xC3\xA0i li\xE1\xBB\x87u.pdf")}},
        {R"({"pdfFileName":"sub/a b.pdf"})", {InFolder("sub/a b.pdf")}},
        // The folder itself: no backslash before the closing quote swallows it.
        {R"({"pdfFileName":""})", {Platform::Path::FromFsPath(Folder())}},
        {R"({"pdfFileName":"%TEMP% & ^ | < >.pdf"})", {InFolder("%TEMP% & ^ | < >.pdf")}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Answer(listener, c.request), R"({"exitCode":0,"output":""})") << c.request;
        EXPECT_EQ(GuiArguments(), c.arguments) << c.request;
    }
}

TEST_F(WindowsSignListenerTest, AnswersWithTheWholeExitCodeAndOutput) {
    const struct {
        std::string output;
        std::string exitCode;
        std::string data;
    } cases[] = {
        {"signed\r\n", "0", R"({"exitCode":0,"output":"signed\r\n"})"},
        // An exception code ends a program with a code above the int32 range as an unsigned number.
        {"", "3221226505", R"({"exitCode":-1073740791,"output":""})"},
        {"x", "-2", R"({"exitCode":-2,"output":"x"})"},
        {"\xEF\xBB\xBFwith mark \xC4\x90", "1", R"({"exitCode":1,"output":"with mark \u0110"})"},
        {std::string("\xFF\xFE" "a\0\xE9\0\r\0\n\0", 10), "0", R"({"exitCode":0,"output":"a\u00E9\r\n"})"},
    };
    for (const auto& c : cases) {
        WriteFile(tmp_ / "out", c.output);
        SetVariable("QUILLMARK_STANDIN_OUTPUT_FILE", Platform::Path::FromFsPath(tmp_ / "out"));
        SetVariable("QUILLMARK_STANDIN_EXIT_CODE", c.exitCode);
        EXPECT_EQ(Answer(listener, R"({"pdfFileName":"a.pdf"})"), c.data) << c.exitCode;
    }
}

TEST_F(WindowsSignListenerTest, EntriesThatAreNoFileAreNotHandedToTheGui) {
    fs::create_directories(Folder() / "folder.pdf");
    EXPECT_EQ(Answer(listener, R"({"pdfFileName":"folder.pdf"})"), "failure: Invalid file name Arg_ParamName_Name, pdfFileName");
    EXPECT_EQ(Answer(listener, R"({"pdfFileName":"a.pdf","signatureImageFileName":"folder.pdf"})"),
              "failure: Invalid file name Arg_ParamName_Name, signatureImageFileName");
    EXPECT_EQ(GuiArguments(), std::nullopt);
}

TEST_F(WindowsSignListenerTest, AMissingGuiIsAnErrorAndNothingElse) {
    SignListener missing{Platform::Path::FromFsPath(tmp_)};
    const auto answer = Answer(missing, R"({"pdfFileName":"a.pdf"})");
    const auto program = Platform::Path::FromFsPath(tmp_) + "\\Quillmark.GUI.Avalonia.exe";
    EXPECT_EQ(answer.rfind("failure: ErrorStartingProcess, " + program + ", ", 0), 0u) << answer;
    EXPECT_EQ(Answer(listener, R"({"pdfFileName":"a.pdf"})"), R"({"exitCode":0,"output":""})");
}

}  // namespace
}  // namespace Quillmark::Tests
