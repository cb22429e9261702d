// brivel.workspace: mirrors a project to the remote VM and brings its outputs back.
// The module body defines its names in a fixed order; configuration comes first, so a
// malformed PORTVEL_ variable fails the import before anything else is defined.
#include "common/module.hpp"
#include "workspace/config.hpp"
#include "workspace/manifest/hash_cache.hpp"
#include "workspace/manifest/hashing.hpp"
#include "workspace/manifest/ignore.hpp"
#include "workspace/manifest/manifest.hpp"
#include "workspace/manifest/records.hpp"
#include "workspace/manifest/resolve.hpp"
#include "workspace/manifest/root.hpp"
#include "workspace/manifest/walk.hpp"
#include "workspace/manifest/winpath.hpp"
#include "workspace/sync/download.hpp"
#include "workspace/sync/extract.hpp"
#include "workspace/sync/upload.hpp"
#include "workspace/transfer/checksum.hpp"
#include "workspace/transfer/client.hpp"
#include "workspace/transfer/journal.hpp"
#include "workspace/transfer/part_data.hpp"
#include "workspace/transfer/file_stream.hpp"
#include "workspace/transfer/retry.hpp"

BRIVEL_MODULE(workspace, m) {
    using namespace brivel::workspace;
    m.doc() =
        "Mirror a local project to a remote job's VM and bring its outputs back.\n\n"
        "Describe what to send with Workspace (Upload for extra files or directories, Output for\n"
        "results), turn it into a BuiltManifest with build_manifest(), and send it with\n"
        "upload_workspace() through a WorkspaceClient. Content hashes are cached per project\n"
        "under $BRIVEL_CACHE_DIR/hashcache (default ~/.brivel_cache); PORTVEL_* environment\n"
        "variables, read at import, tune the transfers.";
    define_config(m);
    define_upload_journal(m);
    define_hash_cache(m);
    define_checksum_b64(m);
    define_region_digest(m);
    define_transient_test(m);
    define_url_expiry_markers(m);
    define_retry_rules(m);
    define_input_records(m);     // classes Upload, Output, Workspace
    define_project_root(m);
    define_ignore_rules(m);
    define_manifest_records(m);  // classes ManifestFile, BuiltManifest
    define_sha256_file(m);
    define_walk_tree(m);
    define_walk_type(m);         // the walk's generator type (not a module attribute)
    define_too_large_error(m);   // class WorkspaceTooLargeError
    define_windows_path_check(m);
    define_resolve_manifest_files(m);
    define_build_manifest(m);
    define_file_stream(m);       // the PUT body's iterator class (not a module attribute)
    define_workspace_client(m);  // class WorkspaceClient
    define_upload_workspace(m);
    define_extract_output_zip(m);
    define_download_outputs(m);
    define_all(m);
}
