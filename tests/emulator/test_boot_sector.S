/* A test boot sector for the first sector of a partition. It writes
   "BOOTED " and the 16 bytes at DS:SI (the partition entry the boot
   program of sector 0 hands over) in hex to the debug port 0xE9, then
   resets the machine through the keyboard controller. */
        .code16
        .text
start:
        cli
        mov     %si, %bx                /* the entry, before DS changes */
        mov     %ds, %cx
        xor     %ax, %ax
        mov     %ax, %es
        mov     %ax, %ss
        mov     $0x7c00, %sp
        mov     $0xe9, %dx
        mov     $0x7c00 + (marker - start), %si
        mov     %ax, %ds
print:  lodsb
        test    %al, %al
        jz      entry
        out     %al, %dx
        jmp     print
entry:  mov     %cx, %ds
        mov     $16, %cx
hex:    mov     (%bx), %al
        shr     $4, %al
        call    digit
        mov     (%bx), %al
        call    digit
        inc     %bx
        loop    hex
        mov     $'\n', %al
        out     %al, %dx
        mov     $0xfe, %al              /* pulse the reset line */
        out     %al, $0x64
halt:   hlt
        jmp     halt
digit:  and     $0x0f, %al
        add     $'0', %al
        cmp     $'9', %al
        jbe     1f
        add     $'a' - '0' - 10, %al
1:      out     %al, %dx
        ret
marker: .asciz  "BOOTED "
        .org    510
        .byte   0x55, 0xaa
