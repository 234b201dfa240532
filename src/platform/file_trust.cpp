#include "platform/file_trust.h"

namespace tarsel::platform {

bool is_plain_file_at(const OpenedObject& object, const Path& intended) {
    return object.kind == ObjectKind::regular_file && !object.is_link && object.final_path &&
           same_file_system_path(*object.final_path, intended);
}

bool is_plain_file_only_at(const OpenedObject& object, const Path& intended) {
    return is_plain_file_at(object, intended) && object.link_count == 1;
}

bool is_real_directory_at(const OpenedObject& object, const Path& intended) {
    return object.kind == ObjectKind::directory && !object.is_link && object.final_path &&
           same_file_system_path(*object.final_path, intended);
}

}  // namespace tarsel::platform
