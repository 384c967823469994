#pragma once
// A visitor for std::visit made of lambdas, one per alternative: the server
// nodes' protocols, the requests and the replies are variants that every
// module visits.

namespace ombrel {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace ombrel
