# The layers of the manifest library, lowest first. Each layer is one folder of src/ and a set of
# public headers in include/karnid/manifest/. A file may include the headers of its own layer and
# of the layers before it, never those of a later one: CMakeLists.txt builds each folder as an
# object library that sees only those folders, and check_layers.cmake holds every file, public
# headers included, to the same order. docs/architecture.md says what each layer is for.
set(KARNID_MANIFEST_LAYERS base json schema io rowmap verify create)

# Public headers by layer: a header belongs to the layer whose folder implements what it declares.
# The layering check refuses a header that is in no list.
set(KARNID_MANIFEST_HEADERS_base cancel.hpp error.hpp limits.hpp text.hpp timefmt.hpp)
set(KARNID_MANIFEST_HEADERS_json json.hpp)
set(KARNID_MANIFEST_HEADERS_schema schema.hpp)
set(KARNID_MANIFEST_HEADERS_io io.hpp sha256.hpp)
set(KARNID_MANIFEST_HEADERS_rowmap row_map.hpp)
set(KARNID_MANIFEST_HEADERS_verify artifact.hpp auxiliary.hpp paths.hpp plan.hpp report.hpp
                                   row_identity.hpp verify.hpp)
set(KARNID_MANIFEST_HEADERS_create create.hpp)
