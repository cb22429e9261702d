// brivel.workspace: mirrors a project to the remote VM and brings its outputs back.
// The module body defines its names in a fixed order; configuration comes first, so a
// malformed PORTVEL_ variable fails the import before anything else is defined.
#include "common/module.hpp"
#include "workspace/transfer/checksum.hpp"
#include "workspace/transfer/client.hpp"
#include "workspace/config.hpp"
#include "workspace/sync/download.hpp"
#include "workspace/sync/extract.hpp"
#include "workspace/manifest/hashing.hpp"
#include "workspace/manifest/ignore.hpp"
#include "workspace/manifest/manifest.hpp"
#include "workspace/manifest/records.hpp"
#include "workspace/manifest/resolve.hpp"
#include "workspace/transfer/retry.hpp"
#include "workspace/sync/upload.hpp"
#include "workspace/manifest/walk.hpp"
#include "workspace/manifest/winpath.hpp"

BRIVEL_MODULE(workspace, m) {
    using namespace brivel::workspace;
    define_config(m);
    define_hash_cache(m);
    define_checksum_b64(m);
    define_transient_test(m);
    define_url_expiry_markers(m);
    define_retry_rules(m);
    define_input_records(m);
    define_root_markers(m);
    define_ignore_rules(m);
    define_manifest_records(m);
    define_sha256_file(m);
    define_walk_tree(m);
    define_too_large_error(m);
    define_windows_path_check(m);
    define_resolve_manifest_files(m);
    define_build_manifest(m);
    define_workspace_client(m);
    define_upload_workspace(m);
    define_extract_output_zip(m);
    define_download_outputs(m);
    define_all(m);
}
