#include "Daemon/MessageListeners/SignListener.hpp"

#include "ListenerTestSupport.hpp"

#include <gmock/gmock.h>

namespace Quillmark::Tests {
namespace {

using Daemon::MessageListeners::SignListener;

class SignListenerTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        for (const char* name : {"QUILLMARK_STANDIN_OUTPUT_FILE", "QUILLMARK_STANDIN_OUTPUT", "QUILLMARK_STANDIN_REPEAT",
                                 "QUILLMARK_STANDIN_SLEEP_MS", "QUILLMARK_STANDIN_SIGNAL", "QUILLMARK_STANDIN_EXIT_CODE",
                                 "QUILLMARK_STANDIN_DONE_FILE", "LC_ALL", "LC_CTYPE"}) {
            ::unsetenv(name);
        }
        ::setenv("LANG", "C.UTF-8", 1);
        ::setenv("QUILLMARK_STANDIN_ARGV_FILE", (tmp_ / "argv").c_str(), 1);
    }

    // What the GUI received after its program path, or nothing when it was not started.
    std::optional<std::vector<std::string>> GuiArguments() { return TakeRecordedArguments(tmp_ / "argv"); }

    std::string InFolder(std::string_view name) const { return Folder().string() + "/" + std::string(name); }

    SignListener listener{QUILLMARK_STANDINS_DIR};
};

TEST_F(SignListenerTest, StartsTheGuiWithThePdfAndAnOptionalSignature) {
    const struct {
        std::string request;
        std::vector<std::string> arguments;
    } cases[] = {
        {R"({"pdfFileName":"a.pdf"})", {InFolder("a.pdf")}},
        {R"({"pdfFileName":"a.pdf","signatureImageFileName":null})", {InFolder("a.pdf")}},
        {R"({"pdfFileName":"a.pdf","signatureImageFileName":""})", {InFolder("a.pdf")}},
        {R"({"pdfFileName":"my doc \"1\".pdf","signatureImageFileName":"sig.png"})",
         {InFolder("my doc \"1\".pdf"), "--sig", InFolder("sig.png")}},
        // The empty name is the folder itself.
        {R"({"pdfFileName":""})", {Folder().string()}},
        // The request object's step code plays no part.
        {R"({"action":1,"pdfFileName":"a.pdf"})", {InFolder("a.pdf")}},
        {R"({"action":"x","pdfFileName":"a.pdf"})", {InFolder("a.pdf")}},
        {R"({"action":[0],"pdfFileName":"a.pdf"})", {InFolder("a.pdf")}},
        {R"({"pdfFileName":"sub/./a.pdf"})", {InFolder("sub/./a.pdf")}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Answer(listener, c.request), R"({"exitCode":0,"output":""})") << c.request;
        EXPECT_EQ(GuiArguments(), c.arguments) << c.request;
    }
}

TEST_F(SignListenerTest, AnswersWithTheExitCodeAndTheWholeOutput) {
    const struct {
        std::string output;
        std::string exitCode;
        std::string data;
    } cases[] = {
        {"signed\r\n", "0", R"({"exitCode":0,"output":"signed\r\n"})"},
        {"  padded  \n\n", "2", R"({"exitCode":2,"output":"  padded  \n\n"})"},
        {"\xC4\x90\xC3\xA3 k\xC3\xBD <ok> & 'x' \"q\"", "1",
         R"({"exitCode":1,"output":"\u0110\u00E3 k\u00FD \u003Cok\u003E \u0026 \u0027x\u0027 \u0022q\u0022"})"},
        {"\xEF\xBB\xBFwith mark", "255", R"({"exitCode":255,"output":"with mark"})"},
        {std::string("\xFF\xFE" "a\0\xE9\0", 6), "0", R"({"exitCode":0,"output":"a\u00E9"})"},
        {std::string("\xFF\xFE\0\0" "a\0\0\0", 8), "0", R"({"exitCode":0,"output":"a"})"},
        {"bad \xFF byte", "0", R"({"exitCode":0,"output":"bad \uFFFD byte"})"},
    };
    for (const auto& c : cases) {
        WriteFile(tmp_ / "out", c.output);
        ::setenv("QUILLMARK_STANDIN_OUTPUT_FILE", (tmp_ / "out").c_str(), 1);
        ::setenv("QUILLMARK_STANDIN_EXIT_CODE", c.exitCode.c_str(), 1);
        EXPECT_EQ(Answer(listener, R"({"pdfFileName":"a.pdf"})"), c.data);
    }
}

TEST_F(SignListenerTest, DecodesOutputInTheLocaleCodesetUnlessMarked) {
    const struct {
        std::string output;
        const char* lang;
        std::string data;
    } cases[] = {
        {"caf\xE9", "fr_FR.ISO-8859-1", R"({"exitCode":0,"output":"caf\u00E9"})"},
        {"\xEF\xBB\xBF" "caf\xC3\xA9", "fr_FR.ISO-8859-1", R"({"exitCode":0,"output":"caf\u00E9"})"},
        {"caf\xC3\xA9", "xx_XX.NO-SUCH-CODESET", R"({"exitCode":0,"output":"caf\u00E9"})"},
    };
    ::setenv("QUILLMARK_STANDIN_OUTPUT_FILE", (tmp_ / "out").c_str(), 1);
    for (const auto& c : cases) {
        WriteFile(tmp_ / "out", c.output);
        ::setenv("LANG", c.lang, 1);
        EXPECT_EQ(Answer(listener, R"({"pdfFileName":"a.pdf"})"), c.data) << c.lang;
    }
}

TEST_F(SignListenerTest, RefusesBadRequestsWithoutStartingTheGui) {
    const struct {
        std::string request;
        std::string failure;
    } cases[] = {
        {R"({})", "ArgumentNull_Generic Arg_ParamName_Name, pdfFileName"},
        {R"({"pdfFileName":null,"signatureImageFileName":7})", "ArgumentNull_Generic Arg_ParamName_Name, pdfFileName"},
        {R"({"pdfFileName":3})", "NodeUnableToConvertElement, Number, System.String"},
        {R"({"pdfFileName":false})", "NodeUnableToConvertElement, False, System.String"},
        {R"({"pdfFileName":{}})", "NodeWrongType, JsonValue"},
        {R"({"pdfFileName":"a.pdf","signatureImageFileName":[]})", "NodeWrongType, JsonValue"},
        {R"({"pdfFileName":"a.pdf","signatureImageFileName":true})", "NodeUnableToConvertElement, True, System.String"},
        {R"({"pdfFileName":"../a.pdf"})", "Invalid file name Arg_ParamName_Name, pdfFileName"},
        {R"({"pdfFileName":"/etc/passwd"})", "Invalid file name Arg_ParamName_Name, pdfFileName"},
        {R"({"pdfFileName":"x/../../a.pdf"})", "Invalid file name Arg_ParamName_Name, pdfFileName"},
        {R"({"pdfFileName":"..\\a.pdf"})", "Invalid file name Arg_ParamName_Name, pdfFileName"},
        {R"({"pdfFileName":"a\u0000.pdf"})", "Invalid file name Arg_ParamName_Name, pdfFileName"},
        {R"({"pdfFileName":"a.pdf","signatureImageFileName":".."})",
         "Invalid file name Arg_ParamName_Name, signatureImageFileName"},
        {R"({"pdfFileName":"a.pdf","signatureImageFileName":"/tmp/s.png"})",
         "Invalid file name Arg_ParamName_Name, signatureImageFileName"},
        {"null", "ArgumentNull_Generic Arg_ParamName_Name, Data"},
        {"[]", "NodeWrongType, JsonObject"},
        {R"({"pdfFileName":"a","pdfFileName":"b"})", "Argument_AddingDuplicate, pdfFileName Arg_ParamName_Name, key"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Answer(listener, c.request), "failure: " + c.failure) << c.request;
        EXPECT_EQ(GuiArguments(), std::nullopt) << c.request;
    }
}

TEST_F(SignListenerTest, HandsTheGuiOnlyRegularFilesOrNamesThatDoNotExist) {
    WriteFile(tmp_ / "outside.pdf", "other");
    WriteFile(Folder() / "doc.pdf", "pdf");
    fs::create_directory(Folder() / "sub");
    fs::create_symlink(tmp_ / "outside.pdf", Folder() / "out-link.pdf");
    fs::create_symlink("doc.pdf", Folder() / "in-link.pdf");
    fs::create_directory_symlink(tmp_, Folder() / "dir-link");
    ASSERT_EQ(::mkfifo((Folder() / "pipe.pdf").c_str(), 0600), 0);

    const std::string refusedPdf = "failure: Invalid file name Arg_ParamName_Name, pdfFileName";
    const std::string refusedSignature = "failure: Invalid file name Arg_ParamName_Name, signatureImageFileName";
    const struct {
        std::string request;
        std::optional<std::vector<std::string>> arguments;  // none: refused
        std::string answer;
    } cases[] = {
        {R"({"pdfFileName":"doc.pdf","signatureImageFileName":"missing.png"})",
         std::vector<std::string>{InFolder("doc.pdf"), "--sig", InFolder("missing.png")}, ""},
        {R"({"pdfFileName":"sub/missing.pdf"})", std::vector<std::string>{InFolder("sub/missing.pdf")}, ""},
        {R"({"pdfFileName":"out-link.pdf"})", std::nullopt, refusedPdf},
        {R"({"pdfFileName":"in-link.pdf"})", std::nullopt, refusedPdf},
        {R"({"pdfFileName":"dir-link/outside.pdf"})", std::nullopt, refusedPdf},
        {R"({"pdfFileName":"dir-link/missing.pdf"})", std::nullopt, refusedPdf},
        {R"({"pdfFileName":"pipe.pdf"})", std::nullopt, refusedPdf},
        {R"({"pdfFileName":"sub"})", std::nullopt, refusedPdf},
        {R"({"pdfFileName":"doc.pdf","signatureImageFileName":"out-link.pdf"})", std::nullopt, refusedSignature},
        {R"({"pdfFileName":"doc.pdf","signatureImageFileName":"pipe.pdf"})", std::nullopt, refusedSignature},
    };
    for (const auto& c : cases) {
        const auto answer = Answer(listener, c.request);
        EXPECT_EQ(answer, c.arguments ? R"({"exitCode":0,"output":""})" : c.answer) << c.request;
        EXPECT_EQ(GuiArguments(), c.arguments) << c.request;
    }
}

TEST_F(SignListenerTest, AMissingGuiFailsToStartAndTheNextRequestWorks) {
    SignListener elsewhere(tmp_.string());
    EXPECT_EQ(Answer(elsewhere, R"({"pdfFileName":"a.pdf"})"),
              "failure: ErrorStartingProcess, " + (tmp_ / "Quillmark.GUI.Avalonia.exe").string() + ", " +
                  fs::current_path().string() + ", No such file or directory");
    EXPECT_EQ(Answer(listener, R"({"pdfFileName":"a.pdf"})"), R"({"exitCode":0,"output":""})");
}

}  // namespace
}  // namespace Quillmark::Tests
