#include "report/metafile.h"

#include <errno.h>
#include <math.h>
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
      return field->text.find('\0') == std::string::npos;
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

bool takeKey(const std::string& key, const json& value, std::vector<Hdf5MetaField>* fields,
             std::string* error) {
  const MetaKey* known = findKey(key);
  if (known == nullptr) {
    *error = "unknown key " + key;
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
  const json root = json::parse(text, nullptr, false);
  std::string why = "not valid JSON";
  if (!root.is_discarded() && metaFromJson(root, fields, &why)) return true;
  *error = path + ": " + why;
  return false;
}
