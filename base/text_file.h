#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tallon {

// Reads a text file line by line by the platform's rules: a line ends at a
// carriage return, and a line feed right after it belongs to the same line
// end; a line feed alone is an ordinary character of the line; the first
// Ctrl-Z byte (26) ends the file; a last line without a line end is read;
// there is no length limit. The file is streamed through a fixed buffer, so
// memory does not grow with its size.
class TextFileReader {
  public:
    // Opens read-only; the name goes through the case-insensitive file-name
    // layer. Raises EInOutError (a directory gives "File access denied").
    explicit TextFileReader(const std::string& path);
    ~TextFileReader();
    TextFileReader(const TextFileReader&) = delete;
    TextFileReader& operator=(const TextFileReader&) = delete;

    // True at the end of the file or at its first Ctrl-Z.
    bool Eof();
    // The next line without its line end. Raises EInOutError on a read error.
    std::string ReadLine();
    // Both raise an Exception with this message when the file ends before
    // the size it had when opened.
    static constexpr const char* kShrankMessage = "RAW file shrank while being read";

    // Bytes consumed so far and the file's size when opened (for progress).
    uint64_t Position() const { return consumed_; }
    uint64_t Size() const { return size_; }

  private:
    bool Fill();
    int PeekByte();

    int fd_ = -1;
    std::string buffer_;
    size_t pos_ = 0;
    size_t end_ = 0;
    bool eofSeen_ = false;
    bool ctrlZ_ = false;
    uint64_t consumed_ = 0;
    uint64_t read_ = 0;
    uint64_t size_ = 0;
};

}  // namespace tallon
