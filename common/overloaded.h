// One visitor made of several lambdas, for std::visit over a variant:
//
//   std::visit(Overloaded{[](const A&) { ... }, [](const B&) { ... }}, value);
#pragma once

namespace vor {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// Spelled out for compilers without deduction for aggregates (clang 16, which
// builds the fuzz targets).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace vor
