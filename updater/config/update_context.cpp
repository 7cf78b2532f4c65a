#include "updater/config/update_context.h"

namespace kestra {

UpdateContext& MutableContext() {
  static UpdateContext context;
  return context;
}

const UpdateContext& Context() { return MutableContext(); }

}  // namespace kestra
