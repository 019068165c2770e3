// The manifest's INI reading and value checks over arbitrary text. Beyond
// what the sanitizers catch: a manifest that is taken yields versions that
// pass the check on their own (no path can be built from them), a refused
// one names the value in its line, and reading never returns more than the
// buffer holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/ini_text.h"
#include "engine/manifest_values.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ManifestValues values;
  values.fixVersion = "unchanged";
  std::string problem;
  if (ReadManifest(text, "201805", &values, &problem)) {
    Require(VersionProblem(values.fixVersion, true) == nullptr, "a taken runtime version is plain");
    Require(VersionProblem(values.quantVersion, false) == nullptr, "a taken quant version is plain");
    for (const std::string* v : {&values.fixVersion, &values.quantVersion})
      Require(v->find_first_of("/\\:") == std::string::npos && v->find("..") == std::string::npos,
              "no separator or parent part in a taken version");
    // Every download of the run lands under a name of its own.
    const auto upper = [](std::string v) {
      for (char& c : v) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
      return v;
    };
    const std::string fix = upper(values.fixVersion), quant = upper(values.quantVersion);
    Require(quant.empty() || quant != fix, "the quant package has a file of its own");
    for (const char* fixed : {"BASE", "CONFIG", "DEPEND"})
      Require(fix != fixed && quant != fixed, "no package replaces a fixed download");
  } else {
    Require(values.fixVersion == "unchanged", "a refused manifest changes nothing");
    Require(problem.rfind("Manifest value [", 0) == 0, "the refusal names the value");
    Require(problem.find_first_of("\r\n") == std::string::npos, "the refusal is one log line");
  }
  // Every key of the manifest and of the version record, through the
  // buffer sizes the installer uses and the smallest.
  const IniText ini(text);
  struct Key {
    const char* section;
    const char* key;
  } const keys[] = {{"cfgstamp", "time"}, {"fixstamp", "201805"}, {"quant", "201805"},
                    {"version", "cur"},   {"version", "quant"}};
  for (size_t buffer : {1, 2, 21, 101}) {
    for (const Key& k : keys) {
      const std::string value = ini.Get(k.section, k.key, "", buffer);
      Require(value.size() < buffer, "a value fits its buffer with the terminator");
      Require(ini.Get(k.section, k.key, "", buffer) == value, "reading is repeatable");
    }
  }
  return 0;
}
