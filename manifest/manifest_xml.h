#pragma once
// Reading of the "Digest" manifests: an XML document parsed as UTF-8, searched by element name in
// document order. Every reader of a manifest goes through this class.
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace corlinq {

// One element of a loaded document; valid while the document is neither reloaded nor destroyed.
class ManifestElement {
 public:
  explicit ManifestElement(const tinyxml2::XMLElement* element) : element_(element) {}
  // The raw value, nullopt when the attribute is missing. No UTF-8 check.
  [[nodiscard]] std::optional<std::string> Attribute(const char* name) const;
  // Number of child elements (comments and text not counted).
  [[nodiscard]] int ChildElementCount() const;

 private:
  const tinyxml2::XMLElement* element_;
};

class ManifestXml {
 public:
  ManifestXml();
  ~ManifestXml();
  ManifestXml(const ManifestXml&) = delete;
  ManifestXml& operator=(const ManifestXml&) = delete;
  ManifestXml(ManifestXml&&) noexcept;
  ManifestXml& operator=(ManifestXml&&) noexcept;

  // Reads the file at path (UTF-8 path) and parses it as UTF-8 XML.
  // - File missing or unreadable: false, the document keeps what it held before.
  // - File read but not well-formed XML: false, the document is empty afterwards (a half-parsed
  //   manifest is never used), so every count is 0 and every attribute empty.
  // - Otherwise true and the document holds the file's content.
  [[nodiscard]] bool Load(const std::string& path);
  // The same for text already in memory (tests, fuzzing, downloaded bytes).
  [[nodiscard]] bool Parse(const std::string& xmlText);

  // Number of child elements (comments and text not counted) of the occurrence-th element named
  // name (document order, from 1); 0 when there is no such element.
  [[nodiscard]] int CountChildElements(const std::string& name, int occurrence) const;

  // True when there is an occurrence-th element named name.
  [[nodiscard]] bool HasElement(const std::string& name, int occurrence) const;

  // Value (UTF-8) of attribute of the occurrence-th element named element; empty when the element
  // or the attribute is missing or the value is not valid UTF-8.
  [[nodiscard]] std::string GetAttribute(const std::string& element, const std::string& attribute,
                                         int occurrence) const;
  // The raw value, nullopt when the element or the attribute is missing. No UTF-8 check.
  [[nodiscard]] std::optional<std::string> FindAttribute(const std::string& element,
                                                         const std::string& attribute,
                                                         int occurrence) const;

  // Every element named name, in the order the lookups above count them, found in one walk.
  [[nodiscard]] std::vector<ManifestElement> Elements(const std::string& name) const;

 private:
  // The element search: depth-first in document order from the root element, then the later
  // top-level elements; the occurrence-th element named name, or null.
  const tinyxml2::XMLElement* FindElement(const std::string& name, int occurrence) const;

  std::unique_ptr<tinyxml2::XMLDocument> doc_;
};

// Reads a whole file (UTF-8 path; on Windows opened through its UTF-16 form). False when the
// file cannot be opened or read.
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string& bytes);

}  // namespace corlinq
