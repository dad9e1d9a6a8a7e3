#include "manifest/manifest_xml.h"

#include <tinyxml2.h>

#include <filesystem>
#include <fstream>

#include "base/strings.h"

namespace corlinq {

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  // u8path: the path text is UTF-8 on every platform; on Windows the stream opens the file
  // through the path's UTF-16 form, so Chinese folder and file names work.
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  if (!in) return false;
  // One read of the whole file: a character at a time costs more than parsing it (a
  // 100,000-entry manifest is ~10 MB).
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0) return false;
  in.seekg(0, std::ios::beg);
  std::string data(static_cast<size_t>(size), '\0');
  if (!in.read(data.data(), size)) return false;
  bytes.swap(data);
  return true;
}

ManifestXml::ManifestXml() : doc_(std::make_unique<tinyxml2::XMLDocument>()) {}
ManifestXml::~ManifestXml() = default;
ManifestXml::ManifestXml(ManifestXml&&) noexcept = default;
ManifestXml& ManifestXml::operator=(ManifestXml&&) noexcept = default;

bool ManifestXml::Load(const std::string& path) {
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) return false;
  return Parse(bytes);
}

bool ManifestXml::Parse(const std::string& xmlText) {
  if (!doc_) doc_ = std::make_unique<tinyxml2::XMLDocument>();
  // tinyxml2 empties the document when the text does not parse.
  const tinyxml2::XMLError err = doc_->Parse(xmlText.data(), xmlText.size());
  if (err != tinyxml2::XML_SUCCESS) {
    doc_->Clear();
    return false;
  }
  return true;
}

namespace {

// Iterative pre-order walk from the root element, then the later top-level elements: no
// recursion, so deep nesting cannot exhaust the stack. visit returns false to stop.
template <typename Visit>
void WalkElements(const tinyxml2::XMLDocument& doc, Visit visit) {
  const tinyxml2::XMLElement* e = doc.RootElement();
  while (e != nullptr) {
    if (!visit(e)) return;
    if (const tinyxml2::XMLElement* child = e->FirstChildElement()) {
      e = child;
      continue;
    }
    while (e != nullptr && e->NextSiblingElement() == nullptr) {
      const tinyxml2::XMLNode* parent = e->Parent();
      e = parent != nullptr ? parent->ToElement() : nullptr;
    }
    if (e != nullptr) e = e->NextSiblingElement();
  }
}

}  // namespace

std::optional<std::string> ManifestElement::Attribute(const char* name) const {
  const char* value = element_ != nullptr ? element_->Attribute(name) : nullptr;
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

int ManifestElement::ChildElementCount() const {
  int count = 0;
  if (element_ == nullptr) return 0;
  for (const tinyxml2::XMLElement* c = element_->FirstChildElement(); c != nullptr;
       c = c->NextSiblingElement()) {
    ++count;
  }
  return count;
}

const tinyxml2::XMLElement* ManifestXml::FindElement(const std::string& name,
                                                     int occurrence) const {
  if (!doc_ || occurrence < 1) return nullptr;
  int seen = 0;
  const tinyxml2::XMLElement* found = nullptr;
  WalkElements(*doc_, [&](const tinyxml2::XMLElement* e) {
    if (name == e->Name() && ++seen == occurrence) {
      found = e;
      return false;
    }
    return true;
  });
  return found;
}

std::vector<ManifestElement> ManifestXml::Elements(const std::string& name) const {
  std::vector<ManifestElement> out;
  if (!doc_) return out;
  WalkElements(*doc_, [&](const tinyxml2::XMLElement* e) {
    if (name == e->Name()) out.emplace_back(e);
    return true;
  });
  return out;
}

bool ManifestXml::HasElement(const std::string& name, int occurrence) const {
  return FindElement(name, occurrence) != nullptr;
}

int ManifestXml::CountChildElements(const std::string& name, int occurrence) const {
  const tinyxml2::XMLElement* e = FindElement(name, occurrence);
  return e == nullptr ? 0 : ManifestElement(e).ChildElementCount();
}

std::optional<std::string> ManifestXml::FindAttribute(const std::string& element,
                                                      const std::string& attribute,
                                                      int occurrence) const {
  const tinyxml2::XMLElement* e = FindElement(element, occurrence);
  if (e == nullptr) return std::nullopt;
  const char* value = e->Attribute(attribute.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string ManifestXml::GetAttribute(const std::string& element, const std::string& attribute,
                                      int occurrence) const {
  std::optional<std::string> value = FindAttribute(element, attribute, occurrence);
  if (!value || !IsValidUtf8(*value)) return std::string();
  return *value;
}

}  // namespace corlinq
