#include "report/metafile.h"

#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "merge/inputfile.h"

using nlohmann::json;

const char* const kMetaFileName = "ravik-meta.json";

namespace {

struct MetaKey {
  const char* key;  // as in the file: "identity.author"
  Hdf5MetaField::Kind kind;
};

// The fields of the format that describe the experiment rather than the records, which only the
// user can tell.
constexpr MetaKey kKeys[] = {
    {"description", Hdf5MetaField::Text},
    {"identity.author", Hdf5MetaField::Text},
    {"identity.author_affiliation", Hdf5MetaField::Text},
    {"identity.creator", Hdf5MetaField::Text},
    {"identity.creator_affiliation", Hdf5MetaField::Text},
    {"identity.url", Hdf5MetaField::Text},
    {"identity.doi", Hdf5MetaField::Text},
    {"identity.funding", Hdf5MetaField::Text},
    {"identity.license", Hdf5MetaField::Text},
    {"sample.sample_name", Hdf5MetaField::Text},
    {"sample.buffer_name", Hdf5MetaField::Text},
    {"sample.dye_names", Hdf5MetaField::Text},
    {"sample.num_dyes", Hdf5MetaField::Integer},
    {"setup.excitation_wavelengths", Hdf5MetaField::Reals},
    {"setup.detection_wavelengths", Hdf5MetaField::Reals},
    {"setup.excitation_cw", Hdf5MetaField::Integers},
    {"setup.laser_repetition_rates", Hdf5MetaField::Reals},
    {"setup.excitation_polarizations", Hdf5MetaField::Reals},
    {"setup.excitation_input_powers", Hdf5MetaField::Reals},
    {"setup.excitation_intensity", Hdf5MetaField::Reals},
    {"setup.detection_polarizations", Hdf5MetaField::Reals},
    {"setup.detection_split_ch_ratios", Hdf5MetaField::Reals},
};

const MetaKey* findKey(const std::string& key) {
  for (const MetaKey& k : kKeys)
    if (key == k.key) return &k;
  return nullptr;
}

bool isGroup(const std::string& key) {
  return key == "identity" || key == "sample" || key == "setup";
}

const char* expected(Hdf5MetaField::Kind kind) {
  switch (kind) {
    case Hdf5MetaField::Text: return "a string";
    case Hdf5MetaField::Integer: return "a whole number of 0 or more";
    case Hdf5MetaField::Reals: return "a non-empty list of finite numbers";
    case Hdf5MetaField::Integers: return "a non-empty list of 0/1 or true/false";
  }
  return "";
}

// Converts `value` into `field`; false when it is not of the field's kind.
bool take(const json& value, Hdf5MetaField* field) {
  switch (field->kind) {
    case Hdf5MetaField::Text:
      if (!value.is_string()) return false;
      field->text = value.get<std::string>();
      return true;
    case Hdf5MetaField::Integer:
      if (!value.is_number_integer() || value.get<int64_t>() < 0) return false;
      field->integers = {value.get<int64_t>()};
      return true;
    case Hdf5MetaField::Reals:
      if (!value.is_array() || value.empty()) return false;
      for (const json& v : value) {
        if (!v.is_number() || !std::isfinite(v.get<double>())) return false;
        field->reals.push_back(v.get<double>());
      }
      return true;
    case Hdf5MetaField::Integers:
      if (!value.is_array() || value.empty()) return false;
      for (const json& v : value) {
        if (v.is_boolean()) field->integers.push_back(v.get<bool>() ? 1 : 0);
        else if (v.is_number_integer() && (v.get<int64_t>() == 0 || v.get<int64_t>() == 1))
          field->integers.push_back(v.get<int64_t>());
        else return false;
      }
      return true;
  }
  return false;
}

// The HDF5 output holds a text as a string of fixed length padded with NUL bytes: a NUL in it
// would end it there. False with a message naming the character and its place (counted in
// characters from 1).
bool storableText(const std::string& text, std::string* error) {
  const size_t nul = text.find('\0');
  if (nul == std::string::npos) return true;
  size_t place = 1;
  for (size_t i = 0; i < nul; ++i) place += (uint8_t(text[i]) & 0xC0) != 0x80;
  *error = "character " + std::to_string(place) +
           " is U+0000 (NUL), which would end the text in the HDF5 output";
  return false;
}

// Why `text` is not a JSON document, with the place and, when one is to blame, the character:
// a byte that is no UTF-8 text, or a control character that JSON wants escaped.
std::string parseProblem(const std::string& text, size_t byte) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i + 1 < byte && i < text.size(); ++i) {
    const bool newline = text[i] == '\n';
    line += newline;
    column = newline ? 1 : column + ((uint8_t(text[i]) & 0xC0) != 0x80);
  }
  char what[96] = "";
  const uint8_t c = byte >= 1 && byte <= text.size() ? uint8_t(text[byte - 1]) : 0;
  if (c >= 0x80)
    snprintf(what, sizeof what, ": byte 0x%02X is not UTF-8 text (save the file as UTF-8)", c);
  else if (c != 0 && c < 0x20)
    snprintf(what, sizeof what, ": control character U+%04X must be written \\u%04x", c, c);
  return "not valid JSON at line " + std::to_string(line) + ", column " + std::to_string(column) +
         what;
}

bool takeKey(const std::string& key, const json& value, std::vector<Hdf5MetaField>* fields,
             std::string* error) {
  const MetaKey* known = findKey(key);
  if (known == nullptr) {
    *error = "unknown key " + key;
    return false;
  }
  if (known->kind == Hdf5MetaField::Text && value.is_string() &&
      !storableText(value.get_ref<const std::string&>(), error)) {
    *error = key + ": " + *error;
    return false;
  }
  Hdf5MetaField field;
  field.kind = known->kind;
  field.path = "/" + key;
  for (char& c : field.path)
    if (c == '.') c = '/';
  if (!take(value, &field)) {
    *error = key + " must be " + expected(known->kind);
    return false;
  }
  fields->push_back(field);
  return true;
}

bool takeAll(const json& root, std::vector<Hdf5MetaField>* fields, std::string* error) {
  if (!root.is_object()) {
    *error = "not a JSON object";
    return false;
  }
  for (const auto& [key, value] : root.items()) {
    if (!isGroup(key)) {
      if (!takeKey(key, value, fields, error)) return false;
      continue;
    }
    if (!value.is_object()) {
      *error = key + " must be an object";
      return false;
    }
    for (const auto& [inner, innerValue] : value.items())
      if (!takeKey(key + "." + inner, innerValue, fields, error)) return false;
  }
  return true;
}

}  // namespace

bool metaFromJson(const json& root, std::vector<Hdf5MetaField>* fields, std::string* error) {
  std::vector<Hdf5MetaField> taken;
  if (!takeAll(root, &taken, error)) return false;
  *fields = taken;
  return true;
}

json metaToJson(const std::vector<Hdf5MetaField>& fields) {
  json root;
  for (const Hdf5MetaField& f : fields) {
    // "/identity/author" -> root["identity"]["author"]
    const json::json_pointer at(f.path);
    switch (f.kind) {
      case Hdf5MetaField::Text: root[at] = f.text; break;
      case Hdf5MetaField::Integer: root[at] = f.integers.empty() ? 0 : f.integers.front(); break;
      case Hdf5MetaField::Reals: root[at] = f.reals; break;
      case Hdf5MetaField::Integers: root[at] = f.integers; break;
    }
  }
  return root;
}

bool loadMetaFile(const std::string& path, std::vector<Hdf5MetaField>* fields,
                  std::string* error) {
  std::string text;
  if (!readRegularFile(path, &text, error)) return false;
  json root;
  std::string why;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& e) {
    why = parseProblem(text, e.byte);
  }
  if (why.empty() && metaFromJson(root, fields, &why)) return true;
  *error = path + ": " + why;
  return false;
}
