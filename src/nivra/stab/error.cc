#include "nivra/stab/error.h"

#include "nivra/stab/backend.h"

namespace nivra::stab {

std::string StabError::message() const { return to_backend_error(*this).message(); }

}  // namespace nivra::stab
