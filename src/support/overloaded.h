// Overloaded: one lambda per alternative of a variant, as one visitor for
// std::visit. An alternative that no lambda takes by its own type picks the
// deleted overload, so a new alternative fails to compile at every visit
// instead of converting to a neighbour (a bool into a double) or falling into
// an else branch meant for another kind.
#pragma once

namespace kavro {

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
  template <class Alternative>
  void operator()(const Alternative&) const = delete;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace kavro
