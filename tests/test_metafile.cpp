// The user's metadata file: every field the format defines for the experiment is taken with its
// type; an unknown or mistyped key is refused with the key named, before anything is written.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "report/metafile.h"
#include "tests/core_merge.h"

namespace {

// `text` in the file meta.json of `dir`; its path.
std::string writeFile(const TempDir& dir, const std::string& text) {
  EXPECT_TRUE(std::ofstream(dir / "meta.json") << text);
  return dir / "meta.json";
}

TEST(MetaFile, FieldsAreTakenWithTheirTypes) {
  TempDir dir;
  const std::string path = writeFile(dir,
      R"({"description": "FRET run 3", "identity": {"author": "A. Physicist",
          "author_affiliation": "Lab"}, "sample": {"sample_name": "dsDNA", "num_dyes": 2},
          "setup": {"excitation_wavelengths": [5.32e-7, 6.35e-7], "excitation_cw": [true, 0]}})");
  std::vector<Hdf5MetaField> fields;
  std::string error;
  ASSERT_TRUE(loadMetaFile(path, &fields, &error)) << error;
  std::map<std::string, const Hdf5MetaField*> byPath;
  for (const Hdf5MetaField& f : fields) byPath[f.path] = &f;
  ASSERT_EQ(byPath.size(), 7u);
  EXPECT_EQ(byPath["/description"]->text, "FRET run 3");
  EXPECT_EQ(byPath["/identity/author"]->kind, Hdf5MetaField::Text);
  EXPECT_EQ(byPath["/identity/author_affiliation"]->text, "Lab");
  EXPECT_EQ(byPath["/sample/num_dyes"]->integers, std::vector<int64_t>{2});
  EXPECT_EQ(byPath["/setup/excitation_wavelengths"]->reals, (std::vector<double>{5.32e-7, 6.35e-7}));
  EXPECT_EQ(byPath["/setup/excitation_cw"]->integers, (std::vector<int64_t>{1, 0}));
}

TEST(MetaFile, BadKeysAndValuesAreNamed) {
  const struct {
    const char* text;     // in a file of its own; none: `path` is read
    const char* message;  // after "<path>: "
    const char* path = nullptr;
  } cases[] = {
      {R"({"identity": {"autor": "x"}})", "unknown key identity.autor"},
      {R"({"author": "x"})", "unknown key author"},
      {R"({"setup": {"num_pixels": 3}})", "unknown key setup.num_pixels"},
      {R"({"identity": "me"})", "identity must be an object"},
      {R"({"identity": {"author": 5}})", "identity.author must be a string"},
      {R"({"setup": {"excitation_wavelengths": 5.32e-7}})",
       "setup.excitation_wavelengths must be a non-empty list of finite numbers"},
      {R"({"setup": {"detection_wavelengths": []}})",
       "setup.detection_wavelengths must be a non-empty list of finite numbers"},
      {R"({"setup": {"detection_wavelengths": ["580nm"]}})",
       "setup.detection_wavelengths must be a non-empty list of finite numbers"},
      {R"({"setup": {"excitation_cw": [2]}})",
       "setup.excitation_cw must be a non-empty list of 0/1 or true/false"},
      {R"({"sample": {"num_dyes": -1}})", "sample.num_dyes must be a whole number of 0 or more"},
      {R"({"sample": {"num_dyes": 1.5}})", "sample.num_dyes must be a whole number of 0 or more"},
      {R"([1, 2])", "not a JSON object"},
      {R"({"description": "unterminated)", "not valid JSON at line 1, column 30"},
      // What the HDF5 output's strings cannot hold, and what is no JSON text, named by place.
      {R"({"description": "ab\u0000c"})",
       "description: character 3 is U+0000 (NUL), which would end the text in the HDF5 output"},
      {R"({"sample": {"sample_name": "\u00b5l\u0000"}})",
       "sample.sample_name: character 3 is U+0000 (NUL), which would end the text in the HDF5 "
       "output"},
      {"{\n  \"identity\": {\"author\": \"M\xfcller\"}}",
       "not valid JSON at line 2, column 28: byte 0xFC is not UTF-8 text (save the file as UTF-8)"},
      {"{\"description\": \"\xc2\xb5m\ta\"}",
       "not valid JSON at line 1, column 20: control character U+0009 must be written \\u0009"},
      {nullptr, "cannot open: No such file or directory", "/nonexistent/meta.json"},
      {nullptr, "is a directory, not a regular file", "/tmp"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string path = c.text != nullptr ? writeFile(dir, c.text) : c.path;
    SCOPED_TRACE(c.text != nullptr ? c.text : path);
    std::vector<Hdf5MetaField> fields;
    std::string error;
    EXPECT_FALSE(loadMetaFile(path, &fields, &error));
    EXPECT_EQ(error, path + ": " + c.message);
    EXPECT_TRUE(fields.empty());
  }
}

}  // namespace
