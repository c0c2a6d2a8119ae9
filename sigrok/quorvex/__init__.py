##
## Part of QuorvexEVM: the protocol decoder for the Quorvex evaluation board.
##

'''
Decodes the frames that set the Quorvex amplifier chip on its evaluation
board: in one select window, sixteen clocks shift out the word the chip
held (read back on SDO), then sixteen clocks shift in the new word on SDI,
which the chip latches when select rises.

Stack it on the SPI decoder with SDI as MOSI, SDO as MISO, select as CS#
(active low) and CPHA 1, which samples both lines on the falling clock
edge, where each is settled; any word size that divides 32 will do:

  spi:clk=clock:mosi=sdi:miso=sdo:cs=select:cpha=1,quorvex

For each frame it annotates the word read back and the word sent as four
hexadecimal digits and an h (8112h), and the sent word's fields: the gain
in dB (codes beyond 60 dB by their code), DC Servo Off, CM Servo Enable,
ZC Enable, Over Range and GPO1 to GPO4.
'''

from .pd import Decoder
