# bouncewarden for Dovecot Sieve: files backscatter into "Junk".
#
# Run it as a global script before each user's own (sieve_before, see
# 90-bouncewarden.conf); it needs the sieve_extprograms plugin and the
# bouncewarden-sieve wrapper in sieve_execute_bin_dir.
#
# The second argument is the regular expression for your own Message-IDs
# (see bouncewarden(1)); in a Sieve string a backslash is written twice.
require ["vnd.dovecot.execute", "envelope", "variables", "fileinto", "mailbox"];

# The envelope sender, empty for the null sender that bounces carry, goes
# along as the first argument.
if envelope :matches "from" "*" {
  if execute :pipe "bouncewarden-sieve" ["${1}", ".*@example\\.com$"] {
    fileinto :create "Junk";
    stop;
  }
}
