#include "VsftpdServer.h"

#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

namespace qtest {

namespace fs = std::filesystem;

namespace {
const char* const kVsftpd = "/usr/sbin/vsftpd";

// The account vsftpd maps anonymous sessions to; Debian's package creates
// "ftp", a bare system may only have "nobody".
std::string AnonymousAccount() {
    return ::getpwnam("ftp") ? "ftp" : "nobody";
}
} // namespace

std::string VsftpdServer::Unavailable() {
    if (::access(kVsftpd, X_OK) != 0)
        return std::string(kVsftpd) + " is not installed (Debian package vsftpd)";
    if (::geteuid() != 0)
        return "vsftpd needs root to chroot its anonymous sessions";
    return {};
}

VsftpdServer::VsftpdServer(VsftpdOptions options) {
    if (std::string why = Unavailable(); !why.empty())
        throw std::runtime_error(why);
    const std::string account = AnonymousAccount();
    if (const passwd* pw = ::getpwnam(account.c_str())) {
        ftpUid_ = pw->pw_uid;
        ftpGid_ = pw->pw_gid;
    }
    // The chroot must not be writable by the session user, or vsftpd refuses
    // the login; the writable area is one level down.
    fs::create_directories(root());
    fs::permissions(root(), fs::perms(0755));
    fs::create_directories(workDir());
    handOver(workDir());
    fs::create_directories(dir_ / "empty");
    fs::permissions(dir_ / "empty", fs::perms(0755));
    // The temp dir itself may be 0700; the session user must traverse to
    // the chroot before entering it.
    fs::permissions(dir_.path(), fs::perms(0755));

    auto build = [&](uint16_t port) {
        std::string conf;
        auto line = [&conf](const std::string& l) { conf += l + "\n"; };
        if (options.ipv6) {
            line("listen=NO");
            line("listen_ipv6=YES");
            line("listen_address6=::1");
        } else {
            line("listen=YES");
            line("listen_ipv6=NO");
            line("listen_address=127.0.0.1");
        }
        line("listen_port=" + std::to_string(port));
        line("background=NO");
        // The seccomp sandbox and the per-session namespaces fail in many
        // containers; neither matters for a private test server.
        line("seccomp_sandbox=NO");
        line("isolate=NO");
        line("isolate_network=NO");
        line("anonymous_enable=YES");
        line("local_enable=NO");
        line("write_enable=YES");
        line("ftp_username=" + account);
        line("anon_root=" + root().string());
        line("no_anon_password=YES");
        line("anon_upload_enable=YES");
        line("anon_mkdir_write_enable=YES");
        line("anon_other_write_enable=YES");
        line("anon_world_readable_only=NO");
        line("anon_umask=022");
        line("pasv_enable=YES");
        if (!options.ipv6) {
            line("pasv_address=127.0.0.1");
            line("pasv_addr_resolve=NO");
        }
        line("port_enable=YES");
        line("connect_from_port_20=NO");
        line("secure_chroot_dir=" + (dir_ / "empty").string());
        line("xferlog_enable=YES");
        line("log_ftp_protocol=YES");
        line("vsftpd_log_file=" + (dir_ / "vsftpd.log").string());
        line("delay_failed_login=0");
        line("hide_ids=NO");
        line("use_localtime=NO");
        if (options.tls != FtpTls::Off) {
            const TestCertificate& certificate =
                options.tlsCertificate ? *options.tlsCertificate : TestCertificates::Get().server;
            const auto yesNo = [](bool on) { return on ? std::string("YES") : "NO"; };
            line("ssl_enable=YES");
            line("allow_anon_ssl=YES");
            line("rsa_cert_file=" + certificate.cert.string());
            line("rsa_private_key_file=" + certificate.key.string());
            // vsftpd's own default list is a single cipher OpenSSL 3 refuses.
            line("ssl_ciphers=HIGH");
            line("ssl_request_cert=NO");
            line("debug_ssl=YES");
            line("require_ssl_reuse=" + yesNo(options.tlsSessionReuse));
            line("force_anon_logins_ssl=" + yesNo(options.tlsRequired));
            line("force_anon_data_ssl=" + yesNo(options.tlsRequired));
            line("implicit_ssl=" + yesNo(options.tls == FtpTls::Implicit));
        }
        if (!options.banner.empty())
            line("ftpd_banner=" + options.banner);
        for (const auto& extra : options.extraConfig)
            line(extra);
        LaunchPlan plan;
        plan.argv = {kVsftpd, dir_.write("vsftpd.conf", conf).string()};
        plan.logFile = dir_ / "vsftpd.out";
        return plan;
    };
    host_ = options.ipv6 ? "::1" : "127.0.0.1";
    StartedServer started = StartServer("vsftpd", build, std::chrono::seconds(20), 4, host_);
    process_ = std::move(started.process);
    port_ = started.port;
}

fs::path VsftpdServer::root() const {
    return dir_ / "root";
}

fs::path VsftpdServer::workDir() const {
    return root() / "upload";
}

void VsftpdServer::handOver(const fs::path& path) const {
    if (::chown(path.c_str(), ftpUid_, ftpGid_) != 0)
        throw std::runtime_error("chown " + path.string() + " failed");
}

std::string VsftpdServer::log() const {
    std::string text = RealFtpServer::log();
    try {
        text += ReadFile(dir_ / "vsftpd.log");
    } catch (const std::exception&) {
    }
    return text;
}

} // namespace qtest
