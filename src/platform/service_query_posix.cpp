#include "platform/service_query.h"

namespace tarsel::platform {

ServiceQuery query_service_state(std::u16string_view /*service_name*/) {
    return ServiceQuery{ServiceQuery::Outcome::no_service_manager, 0};
}

}  // namespace tarsel::platform
