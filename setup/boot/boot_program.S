# Boot program that setup writes into sector 0 of the target disk.
#
# The BIOS loads sector 0 to 0000:7C00 and jumps to it with DL set to the
# boot drive. This program moves itself out of the way to 0000:0600, finds
# the active partition in the table at offset 0x1BE, loads that partition's
# first sector to 0000:7C00 and jumps to it with SI pointing at the entry.
#
# Only bytes 0-183 of the sector are ours: setup zeroes 184-255 and
# 336-445, keeps 256-335 as it finds them, and the partitioning tool
# writes the table from 446. Code and texts must fit in 184 bytes; the
# build refuses a larger program.
#
# Assembled on its own (no linker), so every absolute address is written as
# a constant: RUN + (label - start).

        .code16
        .text

        .set LOAD, 0x7c00          # where the BIOS puts a boot sector
        .set RUN, 0x0600           # where this program runs after the copy
        .set TABLE, 0x1be          # partition table offset in the sector
        .set ENTRY_SIZE, 16
        .set ENTRIES, 4
        .set ACTIVE, 0x80          # boot flag of the active entry
        .set READ_ATTEMPTS, 5
        .set SIGNATURE, 0xaa55     # bytes 0x55 0xAA at offset 510

        .globl start
start:
        cli                        # no interrupt while SS:SP is half set
        xor %ax, %ax
        mov %ax, %ss
        mov $LOAD, %sp             # stack grows down from below the sector
        mov %ax, %ds
        mov %ax, %es
        sti                        # the disk services expect interrupts on
        cld
        mov %sp, %si               # copy the 512-byte sector to RUN
        mov $RUN, %di
        mov $256, %cx
        rep movsw
        ljmp $0, $RUN + (relocated - start)

relocated:
        # The first entry flagged ACTIVE wins. Setup marks both partitions of
        # a two-partition disk active, so later entries are not examined.
        # A flag that is neither 0 nor ACTIVE means the table is damaged.
        mov $RUN + TABLE, %si
        mov $ENTRIES, %cl          # CX is 0 after the copy
scan_entry:
        mov (%si), %al
        cmp $ACTIVE, %al
        je load_partition
        test %al, %al
        jnz missing_system
        add $ENTRY_SIZE, %si
        loop scan_entry
        int $0x18                  # nothing active: the BIOS boots elsewhere
        jmp halt

load_partition:
        # Read function 2 wants DL drive, DH head, CL sector with the two
        # high cylinder bits, CH low cylinder byte: the entry holds them in
        # that order from its first byte, the flag doubling as the drive
        # number 0x80 of the first hard disk.
        mov $READ_ATTEMPTS, %di
read_sector:
        mov $LOAD, %bx             # ES:BX = 0000:7C00
        mov $0x0201, %ax           # read one sector
        mov (%si), %dx
        mov 2(%si), %cx
        int $0x13
        jnc check_signature
        dec %di
        jz load_error
        xor %ax, %ax               # reset the disk system before the retry
        mov (%si), %dx
        int $0x13
        jmp read_sector

check_signature:
        cmpw $SIGNATURE, LOAD + 510
        jne missing_system
        ljmp $0, $LOAD             # SI at the active entry, DL the drive

load_error:
        mov $RUN + (text_load_error - start), %si
        jmp print
missing_system:
        mov $RUN + (text_missing_system - start), %si
print:
        # Teletype output, page 0, attribute 7, one character at a time.
        mov $0x0007, %bx
next_char:
        lodsb
        test %al, %al
        jz halt
        mov $0x0e, %ah
        int $0x10
        jmp next_char
halt:
        hlt
        jmp halt

        # The texts follow the code directly, in this order.
text_load_error:
        .asciz "Error loading operating system"
text_missing_system:
        .asciz "Missing operating system"
