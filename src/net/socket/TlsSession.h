#pragma once
// The client side of one TLS connection, without any I/O of its own: the
// caller feeds what arrives from the peer and sends what the session hands
// out. The cryptography is the system's TLS provider behind TlsProvider
// (SChannel through SSPI on Windows, TlsSessionWin.cpp); this part does the
// record framing around it and is portable.
//
// States, moved on by Start, Feed, Write and Close:
//   Idle       nothing sent yet; Start -> Handshake (the ClientHello waits
//              in the outgoing bytes)
//   Handshake  handshake records are fed to the provider until it needs
//              nothing more; a record that is not complete yet waits for
//              more bytes. When the provider is done, the peer's
//              certificate is checked (trusted root and host name): a
//              trusted peer -> Open, anything else -> Failed. Bytes behind
//              the last handshake record are already application data.
//   Open       records are decrypted into the readable text; Write
//              encrypts into outgoing records of at most the provider's
//              size. A renegotiation request from the peer goes back to
//              the provider's handshake (replies go out, the session stays
//              Open). The peer's close_notify -> Closed; Close sends ours
//              -> Closed.
//   Closed     no more records in either direction; what was decrypted
//              before can still be read.
//   Failed     the provider refused a record or the handshake, or the
//              peer could not be trusted; failure() says why, in words
//              for the user. Nothing is ever sent in clear text instead.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvan::net {

// The system's TLS, one step at a time (a thin shell over SSPI).
class TlsProvider {
 public:
  enum class Result {
    kDone,         // the step is complete
    kContinue,     // handshake: send the output and feed the next records
    kIncomplete,   // the input holds no whole record yet
    kClosed,       // decrypt: the peer's close_notify
    kRenegotiate,  // decrypt: the peer asks for a handshake step
    kFailed,       // see Failure()
  };
  virtual ~TlsProvider() = default;
  // One handshake step. The first call gets no input. Appends what is to
  // be sent to output; consumed tells how much of the input was used (the
  // rest is kept for the next step or, after kDone, is application data).
  virtual Result Handshake(const std::uint8_t* input, std::size_t size, std::string& output,
                           std::size_t& consumed) = 0;
  // Decrypts the record at the start of input (which it may overwrite):
  // appends its text to plain and tells how many bytes it took.
  virtual Result Decrypt(std::uint8_t* input, std::size_t size, std::string& plain,
                         std::size_t& consumed) = 0;
  // One record for at most MaxPayload() bytes, appended to output.
  virtual bool Encrypt(const std::uint8_t* data, std::size_t size, std::string& output) = 0;
  virtual std::size_t MaxPayload() = 0;
  // After the handshake: empty when the peer's certificate chains to a
  // trusted root and names the host; otherwise why not.
  virtual std::string CheckPeer() = 0;
  // Our close_notify, to be sent; empty when none can be made.
  virtual std::string Shutdown() = 0;
  // Why the last step failed, in words for the user.
  virtual std::string Failure() = 0;
};

class TlsSession {
 public:
  enum class State { kIdle, kHandshake, kOpen, kClosed, kFailed };

  explicit TlsSession(std::unique_ptr<TlsProvider> provider);

  void Start();
  // Bytes from the peer.
  void Feed(const void* data, std::size_t size);
  // Encrypts text for the peer (only while Open; false otherwise).
  bool Write(const void* data, std::size_t size);
  // Sends our close_notify when Open.
  void Close();

  // Bytes for the peer, handed over once.
  std::string TakeOutgoing();
  bool HasOutgoing() const { return !outgoing_.empty(); }
  // Decrypted text: up to size bytes, 0 when none is waiting.
  std::size_t Read(void* buffer, std::size_t size);
  std::size_t Readable() const { return plain_.size() - plainRead_; }

  State state() const { return state_; }
  bool Open() const { return state_ == State::kOpen; }
  const std::string& failure() const { return failure_; }

 private:
  void Advance();
  void Fail(std::string reason);

  std::unique_ptr<TlsProvider> provider_;
  State state_ = State::kIdle;
  bool renegotiating_ = false;
  std::vector<std::uint8_t> input_;  // received, not yet used
  std::size_t inputUsed_ = 0;        // bytes at the front of input_ already used
  std::string plain_;
  std::size_t plainRead_ = 0;
  std::string outgoing_;
  std::string failure_;
};

// The names a server certificate gives itself, read from its encoding
// as they are (no conversion, nothing cut at a NUL): the subject
// alternative names' DNS names and IP addresses (4 or 16 bytes), and the
// subject's common names. A common name in a wide string type keeps its
// ASCII characters; any other character becomes a NUL, which no host
// matches.
struct CertificateNames {
  std::vector<std::string> dns;
  std::vector<std::string> ip;
  std::vector<std::string> commonNames;
  bool altNames = false;  // the extension is there, whatever it holds
};
// The value of the subjectAltName extension (GeneralNames); false when it
// is malformed.
bool ReadAltNames(const std::uint8_t* der, std::size_t size, CertificateNames& names);
// The subject (a Name); false when it is malformed.
bool ReadCommonNames(const std::uint8_t* der, std::size_t size, CertificateNames& names);

// Whether a DNS name from a certificate (possibly with a "*" as its whole
// left-most label) stands for host. Case-insensitive, printable ASCII
// only. A host that is an IP address never matches a DNS name. A wildcard
// covers exactly one label and needs two labels after it, which are not a
// registry's second level ("*.co.uk", "*.com.au").
bool CertificateNameMatches(const std::string& pattern, const std::string& host);

// Whether the certificate names host: an IP address only by an IP entry;
// a name by a DNS entry, or by the last common name when the certificate
// has no alternative names extension at all.
bool CertificateNamesHost(const CertificateNames& names, const std::string& host);

#ifdef _WIN32
// SChannel for a connection to host (the name its certificate must carry).
std::unique_ptr<TlsProvider> SystemTlsProvider(const std::string& host);
#endif

}  // namespace corvan::net
