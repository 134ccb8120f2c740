// What a parsed value is besides its fields: its number as a double, and deep equality.
#include <algorithm>

#include "json_member_order.hpp"
#include "karnid/manifest/json.hpp"

namespace karnid::json {

double Value::as_double() const noexcept {
  switch (type) {
    case Type::Unsigned:
      return static_cast<double>(u64);
    case Type::Signed:
      return static_cast<double>(i64);
    case Type::Double:
      return f64;
    default:
      return 0.0;
  }
}

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.type != b.type) return false;
  switch (a.type) {
    case Value::Type::Null:
      return true;
    case Value::Type::Bool:
      return a.boolean == b.boolean;
    case Value::Type::Unsigned:
      return a.u64 == b.u64;
    case Value::Type::Signed:
      return a.i64 == b.i64;
    case Value::Type::Double:
      return a.f64 == b.f64;
    case Value::Type::String:
      return a.string == b.string;
    case Value::Type::Array:
      return a.array == b.array;
    case Value::Type::Object: {
      if (a.object.size() != b.object.size()) return false;
      const auto same = [](const Member* x, const Member* y) {
        return x->key == y->key && x->value == y->value;
      };
      bool in_order = true;
      for (std::size_t i = 0; i < a.object.size() && in_order; ++i) {
        in_order = same(&a.object[i], &b.object[i]);
      }
      if (in_order) return true;
      const std::vector<const Member*> x = sorted_members(a.object);
      const std::vector<const Member*> y = sorted_members(b.object);
      return std::equal(x.begin(), x.end(), y.begin(), same);
    }
  }
  return false;
}

}  // namespace karnid::json
