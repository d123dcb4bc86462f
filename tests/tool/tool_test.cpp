// The tool's own logic: where description errors are reported, where the
// registry store lives, and the exit codes scripts rely on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "description.h"
#include "json_reader.h"
#include "store.h"
#include "support/sim_test.h"
#include "tool_error.h"

namespace {

namespace fs = std::filesystem;
using tool::ToolError;

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/mdx4208-tool-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }
    std::string Write(const std::string& name, const std::string& text) const
    {
        std::ofstream(path_ / name) << text;
        return (path_ / name).string();
    }

private:
    fs::path path_;
};

// The message of the bad-input error that parsing `text` raises.
std::string DescriptionError(const std::string& text)
{
    try {
        tool::ParseDescription(tool::ParseJsonText(text, "m.json"), "m.json");
    } catch (const ToolError& e) {
        EXPECT_EQ(e.code(), tool::kExitBadInput);
        return e.what();
    }
    ADD_FAILURE() << "no error for " << text;
    return {};
}

TEST(DescriptionTest, ErrorsNameTheFileAndWhereInIt)
{
    const std::string board = R"({"name": "a", "location": {"bus": 2, "device": 14}})";
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {"{\n  \"boards\": [\n    {\"name\": }\n  ]\n}", "m.json:3:14: bad JSON"},
        {"{}", "m.json: /: missing member \"boards\""},
        {R"({"boards": []})", "m.json: /boards: a machine needs at least one board"},
        {R"({"boards": [{"location": {"bus": 2, "device": 14}, "boardid": 5}]})",
         "m.json: /boards/0/boardid: unknown member \"boardid\""},
        {R"({"boards": [{"location": {"bus": 2, "device": 14}, "boardId": 16}]})",
         "m.json: /boards/0/boardId: the value 16 is out of range (0 to 15)"},
        {R"({"boards": [{"location": {"bus": "two", "device": 14}}]})",
         "m.json: /boards/0/location/bus: expected a whole number"},
        {R"({"boards": [{"location": {"bus": 2, "device": 32}}]})", "m.json: /boards/0/location/device: the value 32"},
        {R"({"boards": [)" + board + R"(, {"name": "b", "location": {"bus": 2, "device": 14}}]})",
         "m.json: /boards/1/location: PCI location 2:14.0 is already taken by board \"a\" (/boards/0)"},
        {R"({"boards": [{"location": {"bus": 2, "device": 14}, "generators": [{"kind": "sine", "hz": 5}]}]})",
         "m.json: /boards/0/generators/0/kind: unknown generator kind \"sine\""},
        {R"({"boards": [{"location": {"bus": 2, "device": 14}, "generators": [{"kind": "square", "pin": 4, "hz": 5}]}]})",
         "m.json: /boards/0/generators/0/pin: the value 4 is out of range (0 to 3)"},
        {R"({"boards": [)" + board + R"(], "foreign": [{"interrupt": 11, "generator": {"kind": "pulse", "hz": 1000, "widthUs": 1000}}]})",
         "m.json: /foreign/0/generator/widthUs: the pulse is as long as its period"},
    };
    for (const Case& c : cases)
        EXPECT_NE(DescriptionError(c.text).find(c.message), std::string::npos)
            << "for " << c.text << "\n got: " << DescriptionError(c.text);
}

TEST(DescriptionTest, ADescriptionGivesTheSlotsAndGenerators)
{
    auto d = tool::ParseDescription(tool::ParseJsonText(R"({
      "boards": [{"name": "x", "location": {"bus": 3, "device": 4, "function": 1}, "boardId": "0x9",
                  "deviceId": "0x4209", "interrupt": 7, "inputs": "0xA5000001",
                  "generators": [{"kind": "counter", "port": 2, "hz": 10, "step": 3}]}],
      "foreign": [{"name": "nic", "interrupt": 7, "generator": {"kind": "pulse", "hz": 50}}]
    })", "m.json"), "m.json");
    ASSERT_EQ(d.boards.size(), 1u);
    const tool::BoardDesc& b = d.boards[0];
    EXPECT_EQ(b.slot.location.bus, 3u);
    EXPECT_EQ(b.slot.location.device, 4u);
    EXPECT_EQ(b.slot.location.function, 1u);
    EXPECT_EQ(b.slot.boardIdSwitch, 9);
    EXPECT_EQ(b.slot.pciDeviceId, 0x4209);
    EXPECT_EQ(b.slot.interruptVector, 7u);
    EXPECT_EQ(b.inputs, 0xA5000001u);
    ASSERT_EQ(b.generators.size(), 1u);
    EXPECT_EQ(b.generators[0].kind, tool::GeneratorDesc::Kind::Counter);
    EXPECT_EQ(b.generators[0].port, 2u);
    EXPECT_EQ(b.generators[0].step, 3u);
    ASSERT_EQ(d.foreign.size(), 1u);
    EXPECT_EQ(d.foreign[0].interruptVector, 7u);
    ASSERT_TRUE(d.foreign[0].generator.has_value());
    EXPECT_EQ(d.foreign[0].generator->widthUs, 50u);
    EXPECT_EQ(d.FindBoard("x"), 0u);
    EXPECT_EQ(d.FindBoard("0"), 0u);
    EXPECT_FALSE(d.FindBoard("1").has_value());

    // The default machine: one board known by its BoardID, one by its place,
    // on one shared line.
    auto def = tool::DefaultDescription();
    ASSERT_EQ(def.boards.size(), 2u);
    EXPECT_NE(def.boards[0].slot.boardIdSwitch, 0);
    EXPECT_EQ(def.boards[1].slot.boardIdSwitch, 0);
    EXPECT_EQ(def.boards[0].slot.interruptVector, def.boards[1].slot.interruptVector);
}

TEST(StoreTest, TheStateDirectoryComesFromTheOptionThenXdgThenHome)
{
    EXPECT_EQ(tool::StateDirectory("/opt/s", "/x", "/home/u"), "/opt/s");
    EXPECT_EQ(tool::StateDirectory("", "/x/state", "/home/u"), "/x/state/mdx4208");
    // A relative XDG_STATE_HOME is ignored, as the base directory rules say.
    EXPECT_EQ(tool::StateDirectory("", "rel", "/home/u"), "/home/u/.local/state/mdx4208");
    EXPECT_EQ(tool::StateDirectory("", nullptr, "/home/u"), "/home/u/.local/state/mdx4208");
    EXPECT_THROW(tool::StateDirectory("", "", nullptr), ToolError);
}

TEST(StoreTest, PreparingTheStoreCreatesTheDirectoryOrSaysWhyNot)
{
    TempDir temp;
    const fs::path nested = temp.path() / "a" / "b";
    EXPECT_EQ(tool::PrepareStore(nested.string()), (nested / "registry.sqlite").string());
    EXPECT_TRUE(fs::is_directory(nested));

    const std::string file = temp.Write("plain", "x");
    try {
        tool::PrepareStore(file);
        ADD_FAILURE() << "a file where the directory should be was accepted";
    } catch (const ToolError& e) {
        EXPECT_EQ(e.code(), tool::kExitBadInput);
        EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
    }
}

TEST(HexBytesTest, AcceptsTheUsualSpellingsAndRefusesHalfBytes)
{
    using Bytes = std::vector<uint8_t>;
    EXPECT_EQ(tool::ParseHexBytes("01 02 ff"), Bytes({1, 2, 0xFF}));
    EXPECT_EQ(tool::ParseHexBytes("0102FF"), Bytes({1, 2, 0xFF}));
    EXPECT_EQ(tool::ParseHexBytes("0x01,0x02"), Bytes({1, 2}));
    EXPECT_EQ(tool::ParseHexBytes(""), Bytes());
    EXPECT_FALSE(tool::ParseHexBytes("1 02").has_value());
    EXPECT_FALSE(tool::ParseHexBytes("0g").has_value());
}

// The command line, run in this process as main runs it.
class ExitCodeTest : public simtest::SimTest {
protected:
    int Run(std::vector<std::string> args)
    {
        out.str("");
        err.str("");
        args.insert(args.begin(), {"mdx4208", "--state", (temp.path() / "state").string()});
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        return tool::RunTool(static_cast<int>(argv.size()), argv.data(), out, err);
    }

    TempDir temp;
    std::ostringstream out, err;
};

TEST_F(ExitCodeTest, BadArgumentsGiveTwoAndHelpGivesZero)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"list", "--bogus"}, {"read", "--board", "2000"}, {"ioctl"},
             {"arm", "--channel", "4"}, {"edges", "sideways"}, {"ioctl", "NOT_A_CODE"},
             {"ioctl", "READ_PORT", "0"}}) {
        std::string joined;
        for (const std::string& a : args)
            joined += a + " ";
        EXPECT_EQ(Run(args), tool::kExitBadInput) << joined << "\n" << err.str();
    }
    EXPECT_EQ(Run({"--help"}), tool::kExitOk);
    EXPECT_NE(out.str().find("Exit codes: 0 ok"), std::string::npos) << out.str();
    EXPECT_EQ(Run({"run", "--help"}), tool::kExitOk);
    EXPECT_NE(out.str().find("Exit codes"), std::string::npos);
}

TEST_F(ExitCodeTest, ABadFileGivesTwoAndNamesWhereTheProblemIs)
{
    const std::string machine = temp.Write("m.json", R"({"boards": [{"location": {"bus": 2}}]})");
    EXPECT_EQ(Run({"--machine", machine, "list"}), tool::kExitBadInput);
    EXPECT_NE(err.str().find(machine + ": /boards/0/location: missing member \"device\""), std::string::npos)
        << err.str();

    const std::string scenario = temp.Write(
        "s.json", R"({"steps": [{"list": {}}, {"read_input": {"handle": "h"}}]})");
    EXPECT_EQ(Run({"run", scenario}), tool::kExitBadInput);
    EXPECT_NE(err.str().find(scenario + ": /steps/1/read_input: unknown action \"read_input\""), std::string::npos)
        << err.str();
    // Checked before anything runs: no machine was booted.
    EXPECT_EQ(out.str().find("board 0"), std::string::npos) << out.str();

    const std::string regFile = temp.Write("bad.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:xyz\n");
    EXPECT_EQ(Run({"reg", "import", regFile}), tool::kExitBadInput);
    EXPECT_NE(err.str().find(regFile), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("line 4"), std::string::npos) << err.str();
}

TEST_F(ExitCodeTest, AFailedRequestOrExpectationGivesOne)
{
    EXPECT_EQ(Run({"ioctl", "IOCTL_PRIVILEGED_ACCEPT", "00 00 00 00 00 00 00 00 00 00 00 00"}), tool::kExitFailed);
    EXPECT_NE(out.str().find("STATUS_ACCESS_DENIED (0xC0000022)"), std::string::npos) << out.str();
    EXPECT_EQ(Run({"ioctl", "--privileged", "IOCTL_PRIVILEGED_ACCEPT", "00 00 00 00 00 00 00 00 00 00 00 00"}),
              tool::kExitOk)
        << err.str();

    EXPECT_EQ(Run({"read", "--board", "9"}), tool::kExitFailed);
    EXPECT_NE(err.str().find("no started board has number 9; started boards: 0, 1"), std::string::npos) << err.str();

    const fs::path examples = fs::path(__FILE__).parent_path().parent_path().parent_path() / "examples";
    EXPECT_EQ(Run({"run", (examples / "wrong_expectation.json").string()}), tool::kExitFailed);
    EXPECT_NE(err.str().find("step 2 \"inputs that are not there\""), std::string::npos) << err.str();
}

TEST_F(ExitCodeTest, BoardsKeepTheirNumbersInTheStore)
{
    ASSERT_EQ(Run({"list"}), tool::kExitOk) << err.str();
    EXPECT_NE(out.str().find("board 0: \"left\""), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("(new)"), std::string::npos);
    // The BoardID board moves; the board without one stays put.
    const std::string moved = temp.Write("moved.json", R"({"boards": [
        {"name": "right", "location": {"bus": 2, "device": 15}},
        {"name": "left", "location": {"bus": 7, "device": 1}, "boardId": 5}]})");
    ASSERT_EQ(Run({"--machine", moved, "list"}), tool::kExitOk) << err.str();
    EXPECT_NE(out.str().find("board 0: \"left\" at PCI 7:1.0, BoardID 5, interrupt 11 (kept from an earlier run)"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("board 1: \"right\" at PCI 2:15.0, BoardID 0, interrupt 11 (kept from an earlier run)"),
              std::string::npos)
        << out.str();
}

}  // namespace
