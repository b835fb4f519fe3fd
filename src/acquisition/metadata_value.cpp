#include "acquisition/metadata.h"

namespace tavroacq {

bool YamlValue::operator==(const YamlValue& o) const {
  if (kind != o.kind) return false;
  switch (kind) {
    case Kind::Null: return true;
    case Kind::Bool: return boolean == o.boolean;
    case Kind::UInt: return uint == o.uint;
    case Kind::Int: return sint == o.sint;
    case Kind::Float: return number == o.number;
    case Kind::String: return text == o.text;
    case Kind::Sequence: return items == o.items;
    case Kind::Mapping: return entries == o.entries;
  }
  return false;
}

}  // namespace tavroacq
