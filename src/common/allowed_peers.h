#pragma once
// The allowed-peers list: the IPv4 addresses that may connect to the agent,
// given by -A or the fifth line of the properties file as dotted addresses
// separated by commas. Without a list every peer is allowed.
#include <string>
#include <vector>

class AllowedPeers {
public:
    static constexpr size_t kMaxAddresses = 16;
    static constexpr size_t kMaxLength = 255;  // characters of the list text, commas included
    // Characters of a bad entry that its log line shows.
    static constexpr size_t kMaxShownEntry = 40;

    // Takes the list text. A malformed list (empty, an entry that is not a
    // dotted IPv4 address, more than 16 entries, more than 255 characters)
    // leaves problem() set and allows nobody.
    void set(const std::string& text);

    bool given() const { return given_; }
    // Empty when the list is well formed (or none was given); otherwise the
    // line that says which entry is wrong.
    const std::string& problem() const { return problem_; }
    const std::vector<std::string>& addresses() const { return addresses_; }
    // The addresses separated by commas, as -A takes them.
    std::string text() const;

    // Whether a peer with this dotted address may connect.
    bool allows(const std::string& address) const;

private:
    bool given_ = false;
    std::string problem_;
    std::vector<std::string> addresses_;
};

// Whether text is a dotted IPv4 address in its plain form: four decimal
// numbers 0 to 255 without leading zeros (which inet_addr would read as
// octal), separated by dots.
bool isDottedIPv4(const std::string& text);
