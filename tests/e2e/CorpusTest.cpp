// End-to-end over the real bounce corpus: for each file, the verdict with a
// pattern that never matches, and a match of every Message-ID it should yield.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

using bwtest::RunTool;
using bwtest::TRunResult;

namespace {

struct TCorpusRow {
  std::string File;  // relative to the corpus folder
  std::vector<std::string> IDs;
  bool Ambiguous = false;
  std::string Name;  // unique test name
};

std::string CorpusDir() { return BW_CORPUS_DIR; }
std::string ExpectedFile() { return CorpusDir() + "/expected.tsv"; }

std::vector<std::string> SplitOn(const std::string &AText, char ASeparator) {
  std::vector<std::string> Fields;
  std::string Field;
  std::istringstream Stream(AText);
  while (std::getline(Stream, Field, ASeparator))
    Fields.push_back(Field);
  if (!AText.empty() && AText.back() == ASeparator)
    Fields.emplace_back();
  return Fields;
}

// "mail/arf-02.eml" -> "arf_02"; a clash gets its row number appended.
std::string TestNameFor(const std::string &AFile, std::size_t ARow, std::set<std::string> &ATaken) {
  std::string Name = std::filesystem::path(AFile).stem().string();
  for (char &C : Name)
    if (!std::isalnum(static_cast<unsigned char>(C)))
      C = '_';
  if (Name.empty() || !ATaken.insert(Name).second) {
    Name += "_row" + std::to_string(ARow);
    ATaken.insert(Name);
  }
  return Name;
}

// The rows of expected.tsv; none when the corpus is absent.
std::vector<TCorpusRow> ReadCorpusRows() {
  std::vector<TCorpusRow> Rows;
  std::ifstream Input(ExpectedFile());
  std::set<std::string> Taken;
  std::string Line;
  for (std::size_t RowNumber = 1; std::getline(Input, Line); ++RowNumber) {
    if (!Line.empty() && Line.back() == '\r')
      Line.pop_back();
    if (Line.empty() || Line.front() == '#')
      continue;
    const std::vector<std::string> Fields = SplitOn(Line, '\t');
    if (Fields.size() < 4)
      throw std::runtime_error("malformed row " + std::to_string(RowNumber) + " of expected.tsv");
    TCorpusRow Row;
    Row.File = Fields[0];
    const std::size_t Count = std::stoul(Fields[1]);
    if (Count > 0)
      Row.IDs = Fields[2].empty() ? std::vector<std::string>{""} : SplitOn(Fields[2], ' ');
    if (Row.IDs.size() != Count)
      throw std::runtime_error("row " + std::to_string(RowNumber) + " of expected.tsv lists the wrong number of IDs");
    Row.Ambiguous = Fields[3] == "yes";
    Row.Name = TestNameFor(Row.File, RowNumber, Taken);
    Rows.push_back(std::move(Row));
  }
  return Rows;
}

// The ID as a PCRE pattern that matches it literally: every ASCII character
// other than a letter or digit gets a backslash.
std::string EscapeForPcre(const std::string &AText) {
  std::string Result;
  for (const char C : AText) {
    const auto Byte = static_cast<unsigned char>(C);
    if (Byte < 0x80 && !std::isalnum(Byte))
      Result += '\\';
    Result += C;
  }
  return Result;
}

void PrintTo(const TCorpusRow &ARow, std::ostream *AOut) { *AOut << ARow.File; }

class CorpusTest : public ::testing::TestWithParam<TCorpusRow> {};

// Show that each corpus file is backscatter exactly when it yields Message-IDs,
// and that a pattern for each of those IDs makes it a genuine bounce.
TEST_P(CorpusTest, VerdictAndMessageIDsMatchExpectations) {
  const TCorpusRow &Row = GetParam();
  const std::string Path = CorpusDir() + "/" + Row.File;
  SCOPED_TRACE(Row.File + (Row.Ambiguous ? " (ambiguous)" : ""));

  const TRunResult Never = RunTool({"-s", Path, "(?!)"});
  const bool Backscatter = !Row.IDs.empty();
  EXPECT_EQ(Never.ExitCode, Backscatter ? 1 : 0);
  EXPECT_EQ(Never.Stdout, Backscatter ? "Backscatter DSN.\r\n" : "Not backscatter DSN.\r\n");
  EXPECT_EQ(Never.Stderr, "");

  for (const std::string &ID : Row.IDs) {
    const TRunResult Own = RunTool({"-s", Path, EscapeForPcre(ID) + "$"});
    EXPECT_EQ(Own.ExitCode, 0) << "ID " << ID;
    EXPECT_EQ(Own.Stdout, "Not backscatter DSN.\r\n") << "ID " << ID;
    EXPECT_EQ(Own.Stderr, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusTest, ::testing::ValuesIn(ReadCorpusRows()),
                         [](const ::testing::TestParamInfo<TCorpusRow> &AInfo) { return AInfo.param.Name; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorpusTest);

// Show that the corpus is there to check, or that its tests are skipped because it is not.
TEST(CorpusPresenceTest, CorpusHasExpectations) {
  if (!std::filesystem::is_regular_file(ExpectedFile()))
    GTEST_SKIP() << "no corpus at " << CorpusDir();
  EXPECT_FALSE(ReadCorpusRows().empty());
}

} // namespace
