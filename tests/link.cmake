# Device link: framing, the POSIX serial line and the command set over a pseudo-terminal.
veltora_add_test(tst_cdc_framing SOURCES tst_cdc_framing.cpp LABELS unit)
if(NOT WIN32)
  veltora_add_test(tst_serial_line SOURCES tst_serial_line.cpp link_pty_peer.cpp
    LABELS integration TIMEOUT 120)
  veltora_add_test(tst_usb_cdc_protocol SOURCES tst_usb_cdc_protocol.cpp link_pty_peer.cpp
    LABELS integration TIMEOUT 180)
endif()
