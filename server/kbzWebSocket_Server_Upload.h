// Uploads: the option record of request bodies written to disk, and the decoder that turns a
// multipart/form-data body into saved files and form fields.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Events.h"
#include "transport/kbzSocket_Options.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kbz
{

enum class TwsPostStreamType : std::uint8_t
{
    pstMemoryStream,
    pstFileStream
};

// How the server keeps request bodies. With pstFileStream a multipart/form-data body of at
// least MinSize bytes (0: any) is written to a temporary file in SaveDirectory, and, with
// RemoveBoundaries, decoded from there into its files (saved in SaveDirectory) and fields; the
// temporary file is removed afterwards. MaxFileSize bounds such a body (413 over it); other
// bodies stay in memory under the server's MaxRequestBody.
class TkbzHTTPUploadFilesServer : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTPUploadFilesServer)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTPUploadFilesServer, TkbzPersistent)

    TwsPostStreamType StreamType = TwsPostStreamType::pstMemoryStream;
    std::int64_t MinSize = 0;
    bool RemoveBoundaries = true;
    // Empty: the working folder.
    std::string SaveDirectory;
    std::uint64_t MaxFileSize = 64 * 1024 * 1024;
};

// An uploaded file's name as it may be saved: its base name (after the last "/" or "\\");
// empty (refused) for "", ".", ".." and names with a NUL or another control character.
std::string kbzUploadFileName(std::string_view name);

// Creates a new file in folder (empty: the working folder) exclusively: name itself, else
// "base-1.ext", "base-2.ext"... so that no file is ever overwritten, also when several uploads
// of one name run at once. Returns the open descriptor (or -1) and sets name to the one used.
int kbzCreateUploadFile(const std::string& folder, std::string& name);

// Decodes multipart/form-data from a stream, reading it in blocks of ReadBlockSize bytes (a
// delimiter cut by a block's end is found all the same). File parts are saved under their
// base names in the folder given (OnBeforeSaveFile may change name and folder; a name that
// cannot be saved skips the part); fields go to OnReadInput. A part that the body does not
// end is dropped (a file begun for it is removed).
class TkbzHTTPMultipartFormDataDecoder
{
public:
    std::int64_t ReadBlockSize = 100000;
    // Largest field value kept (bytes); a longer one is cut there.
    std::size_t MaxFieldSize = 1024 * 1024;

    TkbzEvent<TkbzHTTPMultipartFormDataDecoder&, std::string&, std::string&> OnBeforeSaveFile;
    TkbzEvent<TkbzHTTPMultipartFormDataDecoder&, const std::string&, const std::string&>
        OnAfterSaveFile;
    TkbzEvent<TkbzHTTPMultipartFormDataDecoder&, const std::string&, const std::string&>
        OnReadInput;

    // Raises EFOpenError when a file cannot be created or written.
    void ExtractFiles(TkbzStream& stream, const std::string& boundary, const std::string& folder);
};

} // namespace kbz
