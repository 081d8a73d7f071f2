#include "onnxruntime/files_by_name.h"

namespace runtime {

void read_no_files_by_name(Ort::SessionOptions& options) {
    // A key a release does not know is kept and ignored, never refused.
    options.AddConfigEntry("session.model_external_initializers_file_folder_path", no_files_folder);
}

}  // namespace runtime
