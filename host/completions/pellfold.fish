# fish completion for pellfold: the commands, each command's options, the
# password and key sources, and file names (*.acbc and *.age where a command
# reads encrypted files). A new option is one more `complete` line for its commands.

set -l commands encrypt decrypt rekey upgrade verify inspect hash help

# pass:TEXT, env:VAR (from the exported variables), file:PATH, fd:N, stdin.
function __pellfold_sources
    set -l token (commandline -ct)
    switch $token
        case 'env:*'
            set -xn | string replace -r '^' 'env:'
        case 'file:*'
            __fish_complete_path (string replace -r '^file:' '' -- $token) | string replace -r '^' 'file:'
        case '*'
            printf '%s\n' pass: env: file: fd: stdin
    end
end

# The files ending in one of the given suffixes, and the folders, that start
# with the token being completed.
function __pellfold_acbc_files
    set -l suffixes $argv
    set -q suffixes[1]; or set suffixes .acbc .age
    for path in (commandline -ct)*
        if test -d $path
            echo $path/
        else
            for suffix in $suffixes
                string match -q -- "*$suffix" $path; and echo $path
            end
        end
    end
end

complete -c pellfold -f
complete -c pellfold -n "not __fish_seen_subcommand_from $commands" -l help -d 'show the help and exit'
complete -c pellfold -n "not __fish_seen_subcommand_from $commands" -l version -d 'show the version and exit'
complete -c pellfold -n "not __fish_seen_subcommand_from $commands" -a encrypt -d 'encrypt a file into an ACBC or age file'
complete -c pellfold -n "not __fish_seen_subcommand_from $commands" -a decrypt -d 'decrypt an ACBC or age file'
complete -c pellfold -n "not __fish_seen_subcommand_from $commands" -a rekey -d 'change the password of an ACBC or age file'
complete -c pellfold -n "not __fish_seen_subcommand_from $commands" -a upgrade -d 'turn ACBC files into age files'
complete -c pellfold -n "not __fish_seen_subcommand_from $commands" -a verify -d 'check a password against ACBC or age files'
complete -c pellfold -n "not __fish_seen_subcommand_from $commands" -a inspect -d 'check ACBC files for damage'
complete -c pellfold -n "not __fish_seen_subcommand_from $commands" -a hash -d 'MD5, SHA-256 or HMAC-MD5 digests'
complete -c pellfold -n "not __fish_seen_subcommand_from $commands" -a help -d 'show the help of a command'

# Options, per command.
complete -c pellfold -n "__fish_seen_subcommand_from encrypt decrypt rekey upgrade verify" -s p -l pass -x -a '(__pellfold_sources)' -d 'take the password from SOURCE'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt" -l format -x -a 'acbc age' -d 'the file format'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt upgrade" -l recipient -x -d 'encrypt to this X25519 recipient'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt upgrade" -s R -l recipients-file -r -F -d 'encrypt to the recipients in FILE'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt upgrade" -s a -l armor -d 'write ASCII armor'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt upgrade rekey" -l work-factor -x -d 'scrypt work factor of the passphrase'
complete -c pellfold -n "__fish_seen_subcommand_from decrypt verify" -s i -l identity -r -F -d 'an age identity file'
complete -c pellfold -n "__fish_seen_subcommand_from decrypt verify rekey" -l max-work-factor -x -d 'refuse a higher scrypt work factor'
complete -c pellfold -n "__fish_seen_subcommand_from rekey upgrade" -l new-pass -x -a '(__pellfold_sources)' -d 'take the new password from SOURCE'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt decrypt rekey upgrade" -s f -l force -d 'replace OUTPUT if it exists'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt decrypt upgrade" -s m -l multifile -d 'one output beside each FILE'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt decrypt upgrade verify" -s r -l recursive -d 'every file below the FOLDERs given'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt decrypt upgrade" -s o -l output-dir -x -a '(__fish_complete_directories)' -d 'with -m or -r: outputs go into DIR'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt decrypt rekey upgrade" -l preserve -d "give the output the input's times"
complete -c pellfold -n "__fish_seen_subcommand_from encrypt decrypt rekey upgrade" -l remove-input -d 'remove the input once the output is in place'
complete -c pellfold -n "__fish_seen_subcommand_from hash" -s j -l jobs -x -d 'hash N files at once'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt decrypt upgrade verify" -s j -l jobs -x -d 'do N files at once'
complete -c pellfold -n "__fish_seen_subcommand_from decrypt rekey upgrade" -l accept-weak-check -d 'replace or remove on a password few padding bytes confirm'
complete -c pellfold -n "__fish_seen_subcommand_from decrypt" -l salvage -d 'decrypt a truncated file anyway'
complete -c pellfold -n "__fish_seen_subcommand_from decrypt" -l range -x -d 'write only LENGTH plaintext bytes from OFFSET'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt decrypt rekey upgrade hash" -s q -l quiet -d 'show no progress (hash --check: no OK lines)'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt decrypt upgrade verify inspect" -l json -d 'print JSON, one object per file'
complete -c pellfold -n "__fish_seen_subcommand_from $commands" -s h -l help -d 'show the help and exit'
complete -c pellfold -n "__fish_seen_subcommand_from hash" -s k -l key -x -a '(__pellfold_sources)' -d 'the HMAC key, hmac-md5 only'
complete -c pellfold -n "__fish_seen_subcommand_from hash" -s c -l check -d 'verify the digests listed in the FILEs'
complete -c pellfold -n "__fish_seen_subcommand_from hash" -l tag -d 'print BSD-style lines'
complete -c pellfold -n "__fish_seen_subcommand_from hash" -l status -d 'with --check: only set the exit status'

# Operands: ACBC files where a command reads them, any file elsewhere.
complete -c pellfold -n "__fish_seen_subcommand_from decrypt rekey verify inspect" -k -a '(__pellfold_acbc_files)'
complete -c pellfold -n "__fish_seen_subcommand_from upgrade" -k -a '(__pellfold_acbc_files .acbc)'
complete -c pellfold -n "__fish_seen_subcommand_from encrypt" -F
complete -c pellfold -n "__fish_seen_subcommand_from hash; and not __fish_seen_subcommand_from md5 sha256 hmac-md5" -a 'md5 sha256 hmac-md5'
complete -c pellfold -n "__fish_seen_subcommand_from md5 sha256 hmac-md5" -F
complete -c pellfold -n "__fish_seen_subcommand_from help" -a 'encrypt decrypt rekey upgrade verify inspect hash'
